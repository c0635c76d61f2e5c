// The board under a debugger: why its core stopped, how it goes on, and
// what the debugger may do with it. The board calls the Debugger on its CPU
// thread at every stop; while that call blocks, the core stands still and
// the debugger reads and writes it through the DebugTarget.
#ifndef KORVASIM_DEBUG_H
#define KORVASIM_DEBUG_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korvasim {

enum class StopCause {
    RESET,            // before the first instruction
    BREAKPOINT,       // before the instruction at a breakpoint
    STEP,             // one instruction done
    WATCHPOINT,       // before the instruction that makes a watched access
    INTERRUPT,        // the debugger asked
    BAD_ACCESS,       // the CPU faulted on a data access or a fetch
    BAD_INSTRUCTION,  // an exception the image has no handler for
};

enum class WatchKind { WRITE, READ, ACCESS };

struct Watchpoint {
    uint32_t address;
    uint32_t length;
    WatchKind kind;
    bool operator==(const Watchpoint& o) const
    {
        return address == o.address && length == o.length && kind == o.kind;
    }
};

struct DebugPoints {
    std::vector<uint32_t> breakpoints;
    std::vector<Watchpoint> watchpoints;
    bool empty() const { return breakpoints.empty() && watchpoints.empty(); }
};

struct DebugStop {
    explicit DebugStop(StopCause c = StopCause::INTERRUPT) : cause(c) {}
    StopCause cause;
    uint32_t data_address = 0;       // WATCHPOINT: the watched address reached
    WatchKind watch = WatchKind::WRITE;
    std::string fault;               // BAD_*: as the board reports it
};

enum class ResumeMode {
    CONTINUE,  // with the debugger's points
    STEP,      // one instruction, then STEP
    DETACH,    // without a debugger: no points, and a fault ends the board
    KILL,      // the board stops for good, as if powered off
};

struct DebugResume {
    ResumeMode mode = ResumeMode::DETACH;
    DebugPoints points;
};

// The CPSR as reset leaves the core: supervisor mode, IRQ and FIQ masked,
// ARM state.
const uint32_t RESET_CPSR = 0xD3;

// The board as a debugger sees it. interrupt() may be called while the core
// runs; the rest only while the Debugger's stopped() blocks for this board.
class DebugTarget {
public:
    static constexpr int CPSR = 16;

    virtual ~DebugTarget() = default;
    // The core stops soon with INTERRUPT, also from a wait for input.
    virtual void interrupt() = 0;
    virtual uint32_t reg(int n) const = 0;  // r0..r15, CPSR
    virtual void set_reg(int n, uint32_t value) = 0;
    // As the CPU sees memory; false where part of it has no memory that can
    // be read (or written) without a side effect: device registers, holes.
    virtual bool read_memory(uint32_t address, uint8_t* out, size_t length) = 0;
    virtual bool write_memory(uint32_t address, const uint8_t* data, size_t length) = 0;
};

class Debugger {
public:
    virtual ~Debugger() = default;
    // On the board's CPU thread, at each stop and once with RESET before
    // the first instruction; returns how the core goes on.
    virtual DebugResume stopped(DebugTarget& board, const DebugStop& stop) = 0;
    // The board powers off: a stopped() for it returns at once, and the
    // target is not used after this returns.
    virtual void board_gone(DebugTarget& board) = 0;
};

} // namespace korvasim

#endif
