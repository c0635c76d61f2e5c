// The core's side of a debugger: breakpoints, single steps, watchpoints
// (the watched instruction undone, registers and RAM, so that the core
// stops before it) and interrupts, decided on the CPU thread.
#ifndef KORVASIM_CORE_DEBUG_ENGINE_H
#define KORVASIM_CORE_DEBUG_ENGINE_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "sim/core/debug.h"
#include "sim/core/ram_map.h"

struct uc_struct;

namespace korvasim {

class DebugEngine {
public:
    using StopHandler = std::function<DebugResume(const DebugStop&)>;

    DebugEngine(uc_struct* uc, const RamMap& ram) : uc_(uc), ram_(ram) {}

    void attach(StopHandler handler) { handler_ = std::move(handler); }
    bool attached() const { return static_cast<bool>(handler_); }
    // Asks the debugger, on the CPU thread, how the core goes on.
    DebugResume ask(const DebugStop& stop) { return handler_(stop); }
    // Takes the debugger's answer: its points, a step, from pc.
    void resume(const DebugResume& how, uint32_t pc);

    // Whether the engine must call before_instruction for every instruction.
    bool needs_instruction_hook() const { return stepping_ || !points_.empty(); }
    bool watching() const { return !points_.watchpoints.empty(); }
    // True when the core stops before the instruction at address.
    bool before_instruction(uint32_t address);
    // A data access at the bus address: true when a watchpoint keeps it
    // from happening (the core stops before its instruction).
    bool hits_watchpoint(bool write, uint32_t address, unsigned width);
    // A store the engine makes itself, at address and at the bus address:
    // what it overwrites is kept so that a watched instruction can be undone.
    void remember_store(uint32_t address, uint32_t bus, unsigned width);

    // From any thread: the core is to stop soon with INTERRUPT.
    void interrupt() { interrupted_ = true; }
    bool interrupted() const { return interrupted_; }
    // On the CPU thread at a device access: true once per interrupt, when
    // the core must now look at every instruction to stop before the next.
    bool take_interrupt();

    // The stop that ended the engine's run, if the debugger asked for one;
    // a watchpoint's instruction is undone first.
    bool stop_pending() const { return stop_pending_; }
    DebugStop finish_pending_stop();
    // After any stop: nothing pending any more.
    void clear_stop()
    {
        stop_pending_ = false;
        interrupted_ = false;
    }

private:
    struct UndoWrite {
        uint32_t address;
        unsigned width;
        uint8_t before[4];
    };

    void request_stop(const DebugStop& stop);

    uc_struct* uc_;
    const RamMap& ram_;
    StopHandler handler_;
    // Points change only while the core stands still.
    DebugPoints points_;            // breakpoints sorted
    bool stepping_ = false;
    bool step_begun_ = false;
    bool at_resume_ = false;        // the next instruction is the one resumed at
    uint32_t resume_pc_ = 0;
    bool stop_pending_ = false;
    DebugStop pending_stop_;
    std::atomic<bool> interrupted_{false};
    bool interrupt_taken_ = false;
    uint32_t undo_registers_[17] = {};
    std::vector<UndoWrite> undo_writes_;
};

} // namespace korvasim

#endif
