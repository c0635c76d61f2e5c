// The board's XScale core on the Unicorn engine: ARMv5TE (PXA255 model), RAM
// mapped from host buffers, device pages as memory-mapped I/O. Like the real
// BE-32 core it comes out of reset little-endian for data: until CP15
// control bit 7 is set, byte and halfword accesses reach the other lanes of
// their word (address XOR 3 or 2); words and instruction fetches do not move.
// The engine itself fetches right only with bit 7 set, so it keeps it set
// and the core's own bit is watched at each unconditional CP15 transfer.
// Watching costs a hook per instruction: it runs from reset until the core
// is big-endian, and then stops for good (a later CP15 write that clears
// bit 7 garbles the engine's fetches, which fails the firmware just as
// well). Instructions are then counted by blocks while anybody needs them.
#ifndef KORVASIM_CPU_H
#define KORVASIM_CPU_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "debug.h"
#include "result.h"

struct uc_struct;

namespace korvasim {

// Receives the accesses to a mapped I/O range, values in the CPU's own
// byte order whatever the engine delivers.
class IoHandler {
public:
    virtual ~IoHandler() = default;
    virtual uint32_t io_read(uint32_t address, unsigned width) = 0;
    virtual void io_write(uint32_t address, unsigned width, uint32_t value) = 0;
};

struct IoRange;
struct EngineCallbacks;

// Decides what a store to RAM leaves behind, for RAM behind a bus that does
// not take every write as given: told the address and width of the store,
// the bytes there before it, and the bytes in RAM now, which it may change.
using RamWriteFilter =
    std::function<void(uint32_t address, unsigned width, const uint8_t* before, uint8_t* now)>;

class Cpu {
public:
    Cpu();
    ~Cpu();
    Cpu(const Cpu&) = delete;
    Cpu& operator=(const Cpu&) = delete;

    // Ranges are multiples of 4 KB. May be called from inside an I/O access.
    void map_ram(uint32_t address, size_t size, uint8_t* host);
    // The handler sees the range's addresses moved to start at bus_address.
    void map_io(uint32_t address, size_t size, IoHandler* handler);
    void map_io(uint32_t address, size_t size, IoHandler* handler, uint32_t bus_address);
    void unmap(uint32_t address, size_t size);

    // Runs from address in reset state (supervisor mode, IRQ and FIQ masked)
    // until stop() (ok) or a fault: its description with the PC and, for a
    // bad access, the address.
    Result run(uint32_t address);
    // Ends run() from another thread or from inside an I/O access. The state
    // after it is not resumable: the board is reset or dropped afterwards.
    void stop();

    // Puts run() under a debugger: handler is asked on the CPU thread before
    // the first instruction and at every breakpoint, step, watchpoint,
    // interrupt and fault, and the core goes on as it answers. Without a
    // debugger's points the core runs as fast as without one.
    using StopHandler = std::function<DebugResume(const DebugStop&)>;
    void debug_with(StopHandler handler);
    // From another thread: a core under a debugger stops soon (INTERRUPT),
    // before the instruction after its next device access.
    void interrupt();
    // Whether run() ended because the debugger killed the board.
    bool killed() const { return killed_; }

    uint32_t reg(int n) const;  // r0..r15, 16: CPSR
    // While the core stands still.
    void set_reg(int n, uint32_t value);
    uint32_t cp15_control() const;
    // The RAM behind address, or nullptr where the engine has none.
    uint8_t* ram_at(uint32_t address) { return host_of(address); }
    // After RAM that may hold code changed behind the core's back.
    void code_changed();

    // Stores to RAM go through filter from now on; nullptr lets them through
    // as they are again.
    void filter_ram_writes(RamWriteFilter filter);

    // Whether anybody still needs instructions() to go on counting.
    void need_instruction_count(bool needed);
    // Tells observer each executed instruction's address, and counts for
    // good (tracing).
    void count_instructions(std::function<void(uint32_t address)> observer);
    // Tells observer about every data access to RAM in [begin, end].
    void watch_ram(uint32_t begin, uint32_t end, std::function<void(uint32_t address)> observer);
    uint64_t instructions() const { return instructions_; }

private:
    friend struct EngineCallbacks;

    struct RamRange {
        uint32_t address;
        size_t size;
        uint8_t* host;
    };
    // A store whose bytes the engine put at the core's address and that
    // still has to move to its lane and through the write filter.
    struct PendingStore {
        uint32_t engine_address;
        uint32_t bus_address;
        unsigned width;
        uint8_t at_engine[4];
        uint8_t at_bus[4];
    };

    // Whether the engine hands 16- and 32-bit I/O values over byte-swapped.
    static bool io_values_swapped();
    // The address a data access of width bytes reaches on the bus.
    uint32_t bus_address(uint32_t address, unsigned width) const;
    // Finishes the stores to RAM that are still being fixed up: called before
    // every access of the core and when it stops.
    void settle_ram();
    // A data access to RAM, before it happens.
    void ram_access(bool write, uint32_t address, unsigned width);
    uint8_t* host_of(uint32_t address);
    void instruction(uint32_t address);
    // The debugger's share of each instruction: true when the core stops
    // before it.
    bool debug_instruction(uint32_t address);
    // A data access seen by the debugger's watchpoints: true when it is not
    // to happen (the core stops before its instruction).
    bool watched(bool write, uint32_t address, unsigned width);
    void request_stop(const DebugStop& stop);
    // On the CPU thread, at a device access: turns a pending interrupt into
    // a stop before the next instruction. (At a RAM access it corrupted the
    // core's state: the engine is in a block that then runs on.)
    void take_interrupt();
    void resume(const DebugResume& how);
    void update_code_hook(bool engine_stopped);
    // Puts the core back to the start of the instruction that made a
    // watched access: its registers and the RAM it wrote.
    void undo_instruction();

    uc_struct* uc_;
    std::vector<RamRange> ram_;
    RamRange code_range_{0, 0, nullptr};
    // A load moved to another lane swaps the two lanes' bytes until it is done.
    uint32_t swapped_at_ = 0;
    unsigned swapped_width_ = 0;
    std::vector<PendingStore> pending_;
    RamWriteFilter filter_;
    std::vector<std::unique_ptr<IoRange>> io_ranges_;
    std::atomic<bool> stopping_{false};
    uint64_t instructions_ = 0;
    size_t instruction_hook_ = 0;
    size_t block_hook_ = 0;
    bool watching_ = true;
    bool count_needed_ = false;
    std::function<void(uint32_t)> instruction_observer_;
    // The core's CP15 control bit 7, and a general register that carries the
    // engine's view of it across one CP15 transfer (-1: none): after a write
    // it gets its value back, after a read the core's bit 7.
    bool big_endian_ = false;
    int cp15_register_ = -1;
    bool cp15_restore_ = false;
    uint32_t cp15_register_value_ = 0;
    std::function<void(uint32_t)> ram_observer_;
    uint64_t bad_address_ = 0;
    bool bad_access_ = false;
    int exception_ = -1;

    // Under a debugger. Points change only while the core stands still.
    struct UndoWrite {
        uint32_t address;
        unsigned width;
        uint8_t before[4];
    };
    StopHandler debugger_;
    DebugPoints points_;            // breakpoints sorted
    bool stepping_ = false;
    bool step_begun_ = false;
    bool at_resume_ = false;        // the next instruction is the one resumed at
    uint32_t resume_pc_ = 0;
    bool stop_pending_ = false;
    DebugStop pending_stop_;
    std::atomic<bool> interrupted_{false};
    bool interrupt_taken_ = false;
    bool killed_ = false;
    uint32_t undo_registers_[17] = {};
    std::vector<UndoWrite> undo_writes_;
};

} // namespace korvasim

#endif
