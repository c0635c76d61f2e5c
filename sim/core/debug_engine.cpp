#include "sim/core/debug_engine.h"

#include <algorithm>

#include "sim/core/engine.h"

namespace korvasim {

void DebugEngine::resume(const DebugResume& how, uint32_t pc)
{
    points_ = how.mode == ResumeMode::DETACH ? DebugPoints{} : how.points;
    std::sort(points_.breakpoints.begin(), points_.breakpoints.end());
    stepping_ = how.mode == ResumeMode::STEP;
    step_begun_ = false;
    at_resume_ = true;
    resume_pc_ = pc;
    undo_writes_.clear();
    // A request that came in while the core stood still is answered already.
    interrupted_ = false;
    interrupt_taken_ = false;
}

bool DebugEngine::take_interrupt()
{
    if (!interrupted_ || interrupt_taken_ || !handler_)
        return false;
    interrupt_taken_ = true;
    return true;
}

bool DebugEngine::before_instruction(uint32_t address)
{
    if (interrupted_) {
        request_stop(DebugStop{StopCause::INTERRUPT});
        return true;
    }
    if (stepping_) {
        if (step_begun_) {
            request_stop(DebugStop{StopCause::STEP});
            return true;
        }
        step_begun_ = true;
    }
    const bool resumed_here = at_resume_ && address == resume_pc_;
    at_resume_ = false;
    if (!resumed_here &&
        std::binary_search(points_.breakpoints.begin(), points_.breakpoints.end(), address)) {
        request_stop(DebugStop{StopCause::BREAKPOINT});
        return true;
    }
    if (watching()) {
        for (int n = 0; n < 16; ++n)
            undo_registers_[n] = read_register(uc_, n);
        check(uc_reg_read(uc_, UC_ARM_REG_CPSR, &undo_registers_[16]), "read CPSR");
        undo_writes_.clear();
    }
    return false;
}

bool DebugEngine::hits_watchpoint(bool write, uint32_t address, unsigned width)
{
    if (stop_pending_)
        return true;  // the instruction is undone anyway
    for (const Watchpoint& w : points_.watchpoints) {
        const bool kind = w.kind == WatchKind::ACCESS || (w.kind == WatchKind::WRITE) == write;
        if (!kind || address + width <= w.address || address >= w.address + w.length)
            continue;
        DebugStop stop{StopCause::WATCHPOINT};
        stop.data_address = std::max(address, w.address);
        stop.watch = w.kind;
        request_stop(stop);
        return true;
    }
    return false;
}

void DebugEngine::remember_store(uint32_t address, uint32_t bus, unsigned width)
{
    for (uint32_t where : {address, bus}) {
        UndoWrite undo{where, width, {}};
        const uint8_t* at = ram_.host_of(where);
        std::copy(at, at + width, undo.before);
        undo_writes_.push_back(undo);
    }
}

void DebugEngine::request_stop(const DebugStop& stop)
{
    stop_pending_ = true;
    pending_stop_ = stop;
    uc_emu_stop(uc_);  // running here: cannot fail
}

DebugStop DebugEngine::finish_pending_stop()
{
    if (pending_stop_.cause == StopCause::WATCHPOINT) {
        for (auto it = undo_writes_.rbegin(); it != undo_writes_.rend(); ++it)
            if (uint8_t* at = ram_.host_of(it->address))
                std::copy(it->before, it->before + it->width, at);
        undo_writes_.clear();
        for (int n = 0; n < 16; ++n)
            write_register(uc_, n, undo_registers_[n]);
        check(uc_reg_write(uc_, UC_ARM_REG_CPSR, &undo_registers_[16]), "write CPSR");
    }
    return pending_stop_;
}

} // namespace korvasim
