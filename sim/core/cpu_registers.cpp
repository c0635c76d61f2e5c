// The core's registers as a debugger and the board see them: the engine's
// own bits kept out of CPSR, and CP15's big-endian bit as the core has it;
// and all of them saved and put back, to start again from a saved state.
#include "sim/core/cpu.h"

#include <unicorn/unicorn.h>

#include "firmware/board_map.h"
#include "sim/core/engine.h"

namespace korvasim {

namespace {

// CPSR bit 9 (E) is the engine's, not the ARMv5 core's.
const uint32_t CPSR_ENGINE_BITS = 1u << 9;

} // namespace

uint32_t Cpu::reg(int n) const
{
    if (n == DebugTarget::CPSR) {
        uint32_t value = 0;
        check(uc_reg_read(uc_, UC_ARM_REG_CPSR, &value), "read CPSR");
        return value & ~CPSR_ENGINE_BITS;
    }
    return read_register(uc_, n);
}

void Cpu::set_reg(int n, uint32_t value)
{
    if (n == DebugTarget::CPSR) {
        uint32_t engine = 0;
        check(uc_reg_read(uc_, UC_ARM_REG_CPSR, &engine), "read CPSR");
        value = (value & ~CPSR_ENGINE_BITS) | (engine & CPSR_ENGINE_BITS);
        check(uc_reg_write(uc_, UC_ARM_REG_CPSR, &value), "write CPSR");
        return;
    }
    write_register(uc_, n, value);
}

uint32_t Cpu::cp15_control() const
{
    uc_arm_cp_reg control = {};
    control.cp = 15;
    control.crn = 1;
    check(uc_reg_read(uc_, UC_ARM_REG_CP_REG, &control), "read CP15");
    const uint32_t engine = static_cast<uint32_t>(control.val) & ~CP15_CTRL_BIG_ENDIAN;
    return lanes_.big_endian() ? engine | CP15_CTRL_BIG_ENDIAN : engine;
}

Cpu::State Cpu::save_state() const
{
    uc_context* context = nullptr;
    check(uc_context_alloc(uc_, &context), "allocate a context");
    State state{std::shared_ptr<uc_context>(context, [](uc_context* c) { uc_context_free(c); }),
                probes_.instructions(), layout_};
    check(uc_context_save(uc_, context), "save the core's state");
    return state;
}

bool Cpu::restore_state(const State& state)
{
    if (state.layout != layout_)
        return false;
    check(uc_context_restore(uc_, state.context.get()), "put back the core's state");
    probes_.set_instructions(state.instructions);
    exception_ = -1;
    bad_access_ = false;
    paused_ = false;
    return true;
}

} // namespace korvasim
