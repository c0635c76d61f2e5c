// The board's XScale core on the Unicorn engine: ARMv5TE (PXA255 model), RAM
// mapped from host buffers, device pages as memory-mapped I/O. The engine
// adapter: it owns the engine and its one instruction hook, and hands each
// instruction and access to the units that need it: the BE-32 data lanes
// (Be32Lanes), a debugger (DebugEngine) and the instruction count and
// observers (Instrumentation). The instruction hook and the data hooks on
// the RAM run from reset until the core is big-endian, and then only while
// a debugger's points, a step or a tracer need them: any data hook sends
// every access of the code translated while it exists through the engine's
// slow path.
#ifndef KORVASIM_CPU_H
#define KORVASIM_CPU_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/core/be32_lanes.h"
#include "sim/core/debug.h"
#include "sim/core/debug_engine.h"
#include "sim/core/instrumentation.h"
#include "sim/core/ram_map.h"
#include "sim/support/result.h"

struct uc_struct;
struct uc_context;

namespace korvasim {

// Receives the accesses to a mapped I/O range, values in the CPU's own
// byte order whatever the engine delivers.
// Decides what a store to RAM leaves behind, for RAM behind a bus that does
// not take every write as given: told the address and width of the store,
// the bytes there before it, and the bytes the store brings, which it may
// change. Those are what the RAM holds afterwards.
using RamWriteFilter =
    std::function<void(uint32_t address, unsigned width, const uint8_t* before, uint8_t* now)>;

class IoHandler {
public:
    virtual ~IoHandler() = default;
    virtual uint32_t io_read(uint32_t address, unsigned width) = 0;
    virtual void io_write(uint32_t address, unsigned width, uint32_t value) = 0;
};

struct IoRange;
struct EngineCallbacks;

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
    // Ends run() or resume() so that resume() can go on from there: from
    // inside an I/O access, on the CPU's thread. The engine finishes the
    // block it is in first, so the core stands between two instructions.
    void pause();
    // Whether the last run ended in pause().
    bool paused() const { return paused_ && !stopping_; }
    // Goes on from where pause() left off; not under a debugger, whose
    // stops are resumed from inside run().
    Result resume();

    // The core where it stands still: its registers (CP15's too) and its
    // instruction count. Put back on the same engine, whose translated code
    // stays, it starts again from there.
    struct State {
        std::shared_ptr<uc_context> context;
        uint64_t instructions;
        uint64_t layout;
    };
    State save_state() const;
    // False, and nothing put back, when the memory map, the store filter or
    // the hooks changed since the state was saved: the state assumed them.
    bool restore_state(const State& state);

    // Puts run() under a debugger: handler is asked on the CPU thread before
    // the first instruction and at every breakpoint, step, watchpoint,
    // interrupt and fault, and the core goes on as it answers. Without a
    // debugger's points the core runs as fast as without one.
    using StopHandler = DebugEngine::StopHandler;
    void debug_with(StopHandler handler) { debug_.attach(std::move(handler)); }
    // From another thread: a core under a debugger stops soon (INTERRUPT),
    // before the instruction after its next device access. (The engine is
    // not stopped from here: a stop from another thread can land between two
    // instructions of a block and start it again from its first.)
    void interrupt() { debug_.interrupt(); }
    // Whether run() ended because the debugger killed the board.
    bool killed() const { return killed_; }

    uint32_t reg(int n) const;  // r0..r15, 16: CPSR
    // While the core stands still.
    void set_reg(int n, uint32_t value);
    uint32_t cp15_control() const;
    // The RAM behind address, or nullptr where the engine has none.
    uint8_t* ram_at(uint32_t address) { return ram_.host_of(address); }
    // After RAM that may hold code changed behind the core's back.
    void code_changed();
    // Puts length bytes of a host buffer of RAM back as saved: what the core
    // translated from bytes that differ, wherever it sees them, is dropped,
    // the rest kept.
    void put_back_ram(uint8_t* host, const uint8_t* saved, size_t length);

    // Stores to RAM go through filter from now on, from the next store on
    // (also from inside an I/O access); nullptr lets them through as they
    // are again.
    void filter_ram_writes(RamWriteFilter filter);

    uint64_t instructions() const { return probes_.instructions(); }
    // Whether anybody still needs instructions() to go on counting.
    void need_instruction_count(bool needed) { probes_.need_count(needed); }
    // Tells observer each executed instruction's address (tracing).
    void trace_instructions(Instrumentation::Observer observer) { probes_.trace(std::move(observer)); }
    // Tells observer about every data access to RAM in [begin, end].
    void observe_ram_accesses(uint32_t begin, uint32_t end, Instrumentation::Observer observer)
    {
        probes_.observe_ram(begin, end, std::move(observer));
    }

private:
    friend struct EngineCallbacks;

    // Whether the engine hands 16- and 32-bit I/O values over byte-swapped.
    static bool io_values_swapped();
    // What stopped the engine, for the fault report.
    std::string fault_text(int engine_error) const;
    void instruction(uint32_t address);
    // A data access to RAM, before it happens.
    void ram_access(bool write, uint32_t address, unsigned width);
    // A store to RAM that the engine finds read-only: the filtered RAM.
    bool filtered_store(uint32_t address, unsigned width, uint32_t value);
    unsigned ram_protection() const;
    // At a device access: turns a pending interrupt into a stop before the
    // next instruction. (At a RAM access it corrupted the core's state: the
    // engine is in a block that then runs on.)
    void take_interrupt();
    void install_instruction_hook();
    void update_instruction_hook(bool engine_stopped);
    // The RAM's data hooks, after the need for them changed.
    void update_ram_hooks(bool engine_stopped);
    // The run's loop from where the core stands, stop telling a debugger why.
    Result go_on(DebugStop stop);

    uc_struct* uc_;
    RamMap ram_;
    std::vector<std::unique_ptr<IoRange>> io_ranges_;
    Be32Lanes lanes_;
    DebugEngine debug_;
    Instrumentation probes_;
    std::atomic<bool> stopping_{false};
    bool paused_ = false;
    // Counts changes to the memory map, the store filter and the hooks.
    uint64_t layout_ = 0;
    bool killed_ = false;
    size_t instruction_hook_ = 0;
    // The RAM the core starts with: its loads are seen only by data hooks
    // that exist when their code is translated.
    std::vector<RamRange> first_ram_;
    std::vector<size_t> ram_hooks_;
    // The engine was stopped to forget deleted hooks, which it does only
    // when a run returns: its code is translated again and the run goes on.
    bool hooks_dropped_ = false;
    RamWriteFilter write_filter_;
    // The lanes look at each instruction until the core is big-endian.
    bool following_cp15_ = true;
    uint64_t bad_address_ = 0;
    bool bad_access_ = false;
    int exception_ = -1;
    bool io_swapped_ = false;  // io_values_swapped(), taken when the core starts
};

} // namespace korvasim

#endif
