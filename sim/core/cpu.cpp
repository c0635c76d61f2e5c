#include "sim/core/cpu.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <unicorn/unicorn.h>

#include "firmware/board_map.h"
#include "sim/core/engine.h"

namespace korvasim {

namespace {

uint32_t swap_bytes(uint32_t value, unsigned width)
{
    if (width == 2)
        return static_cast<uint16_t>(value << 8 | value >> 8);
    if (width == 4)
        return __builtin_bswap32(value);
    return value;
}

uc_engine* open_engine()
{
    uc_engine* uc = nullptr;
    check(uc_open(UC_ARCH_ARM, static_cast<uc_mode>(UC_MODE_ARM | UC_MODE_BIG_ENDIAN), &uc), "open");
    check(uc_ctl_set_cpu_model(uc, UC_CPU_ARM_PXA255), "CPU model");
    return uc;
}

} // namespace

// One mapped I/O range: its handler, the address the handler is told for
// the range's first byte, the core whose accesses it takes and where that
// core sees the range.
struct IoRange {
    IoHandler* handler;
    uint32_t base;
    Cpu* cpu;
    uint32_t engine_base;
};

// The engine's hooks into the core's private parts.
struct EngineCallbacks {
    static uint32_t io_address(IoRange* range, uint64_t offset, unsigned width)
    {
        range->cpu->lanes_.settle();
        return range->cpu->lanes_.bus_address(range->base + static_cast<uint32_t>(offset), width);
    }

    // Whether a debugger's watchpoint keeps the access from happening.
    static bool watched(IoRange* range, bool write, uint64_t offset, unsigned width)
    {
        Cpu* cpu = range->cpu;
        return cpu->debug_.watching() &&
               cpu->debug_.hits_watchpoint(
                   write, cpu->lanes_.bus_address(range->engine_base + static_cast<uint32_t>(offset), width), width);
    }

    static uint64_t io_read(uc_engine*, uint64_t offset, unsigned width, void* data)
    {
        auto* range = static_cast<IoRange*>(data);
        if (watched(range, false, offset, width))
            return 0;
        const uint32_t value = range->handler->io_read(io_address(range, offset, width), width);
        range->cpu->take_interrupt();
        return range->cpu->io_swapped_ ? swap_bytes(value, width) : value;
    }

    static void io_write(uc_engine*, uint64_t offset, unsigned width, uint64_t value, void* data)
    {
        auto* range = static_cast<IoRange*>(data);
        if (watched(range, true, offset, width))
            return;
        const uint32_t v = static_cast<uint32_t>(value);
        range->handler->io_write(io_address(range, offset, width), width,
                                 range->cpu->io_swapped_ ? swap_bytes(v, width) : v);
        range->cpu->take_interrupt();
    }

    static void ram(uc_engine*, uc_mem_type type, uint64_t address, int size, int64_t, void* data)
    {
        static_cast<Cpu*>(data)->ram_access(type == UC_MEM_WRITE, static_cast<uint32_t>(address),
                                            static_cast<unsigned>(size));
    }

    static bool read_only_ram(uc_engine*, uc_mem_type, uint64_t address, int size, int64_t value, void* data)
    {
        return static_cast<Cpu*>(data)->filtered_store(static_cast<uint32_t>(address),
                                                       static_cast<unsigned>(size),
                                                       static_cast<uint32_t>(value));
    }

    static void instruction(uc_engine*, uint64_t address, uint32_t, void* data)
    {
        static_cast<Cpu*>(data)->instruction(static_cast<uint32_t>(address));
    }
};

Cpu::Cpu() : uc_(open_engine()), lanes_(uc_, ram_), debug_(uc_, ram_), probes_(uc_)
{
    // Remember the address of a bad access for the fault report.
    uc_hook hook;
    check(uc_hook_add(uc_, &hook, UC_HOOK_MEM_INVALID,
                      reinterpret_cast<void*>(+[](uc_engine*, uc_mem_type, uint64_t address,
                                                  int, int64_t, void* data) -> bool {
                          auto* cpu = static_cast<Cpu*>(data);
                          cpu->bad_address_ = address;
                          cpu->bad_access_ = true;
                          return false;
                      }),
                      this, 1, 0),
          "fault hook");
    // Any exception the core would take (undefined instruction, SWI, abort)
    // stops it: the image has no handlers.
    check(uc_hook_add(uc_, &hook, UC_HOOK_INTR,
                      reinterpret_cast<void*>(+[](uc_engine* uc, uint32_t number, void* data) {
                          auto* cpu = static_cast<Cpu*>(data);
                          cpu->exception_ = static_cast<int>(number);
                          uc_emu_stop(uc);  // running here: cannot fail
                      }),
                      this, 1, 0),
          "exception hook");
    // The engine drops a store to read-only RAM, after this hook, and checks
    // the protection at every access: the filter takes over at once, even
    // in the middle of a block translated before.
    check(uc_hook_add(uc_, &hook, UC_HOOK_MEM_WRITE_PROT,
                      reinterpret_cast<void*>(EngineCallbacks::read_only_ram), this, 1, 0),
          "store filter hook");
    install_instruction_hook();
}

Cpu::~Cpu()
{
    uc_close(uc_);  // nothing to do about a failure here
}

void Cpu::instruction(uint32_t address)
{
    if (debug_.attached() && debug_.before_instruction(address))
        return;
    if (!following_cp15_)
        return;
    if (lanes_.settled() && !probes_.tracing()) {
        // This instruction runs again, counted by blocks, once the engine
        // has forgotten the hooks.
        following_cp15_ = false;
        update_instruction_hook(false);
        update_ram_hooks(false);
        probes_.count_by_blocks();
        return;
    }
    probes_.executed(address);
    lanes_.before_instruction(ram_.code_at(address));
}

void Cpu::map_ram(uint32_t address, size_t size, uint8_t* host)
{
    lanes_.settle();
    check(uc_mem_map_ptr(uc_, address, size, ram_protection(), host), "map RAM");
    ram_.add({address, size, host});
    ++layout_;
}

void Cpu::map_io(uint32_t address, size_t size, IoHandler* handler)
{
    map_io(address, size, handler, address);
}

void Cpu::map_io(uint32_t address, size_t size, IoHandler* handler, uint32_t bus_address)
{
    // Unicorn keeps the user data pointer: the range lives as long as the engine.
    io_ranges_.push_back(std::make_unique<IoRange>(IoRange{handler, bus_address, this, address}));
    IoRange* range = io_ranges_.back().get();
    check(uc_mmio_map(uc_, address, size, EngineCallbacks::io_read, range,
                      EngineCallbacks::io_write, range),
          "map I/O");
    ++layout_;
}

void Cpu::unmap(uint32_t address, size_t size)
{
    lanes_.settle();
    check(uc_mem_unmap(uc_, address, size), "unmap");
    ram_.remove(address, size);
    ++layout_;
}

Result Cpu::run(uint32_t address)
{
    io_swapped_ = io_values_swapped();
    // The engine's big-endian data accesses hang on CPSR's E bit: keep it.
    uint32_t cpsr = 0;
    check(uc_reg_read(uc_, UC_ARM_REG_CPSR, &cpsr), "read CPSR");
    cpsr = (cpsr & ~0xFFu) | RESET_CPSR;
    check(uc_reg_write(uc_, UC_ARM_REG_CPSR, &cpsr), "reset CPSR");
    set_reg(15, address);
    if (stopping_)
        return Result::ok();
    first_ram_ = ram_.ranges();
    update_ram_hooks(true);
    return go_on(DebugStop{StopCause::RESET});
}

Result Cpu::resume()
{
    if (debug_.attached())
        throw std::logic_error("a core under a debugger goes on from inside run()");
    paused_ = false;
    if (stopping_)
        return Result::ok();
    return go_on(DebugStop{StopCause::INTERRUPT});
}

Result Cpu::go_on(DebugStop stop)
{
    for (;;) {
        if (hooks_dropped_) {
            hooks_dropped_ = false;
            code_changed();
        } else if (debug_.attached()) {
            const DebugResume how = debug_.ask(stop);
            if (stopping_)
                return Result::ok();
            if (how.mode == ResumeMode::KILL) {
                killed_ = true;
                return Result::ok();
            }
            if (!stop.fault.empty() && how.mode == ResumeMode::DETACH)
                return Result::failure(stop.fault);
            debug_.resume(how, reg(15));
            update_instruction_hook(true);
            update_ram_hooks(true);
        }
        uc_err err = UC_ERR_OK;
        if (!debug_.interrupted())
            err = uc_emu_start(uc_, reg(15), 0xFFFFFFFF, 0, 0);
        lanes_.settle();
        if (stopping_)
            return Result::ok();
        if (hooks_dropped_ && err == UC_ERR_OK && exception_ < 0)
            continue;
        hooks_dropped_ = false;
        stop = DebugStop{StopCause::INTERRUPT};
        if (exception_ >= 0 || err != UC_ERR_OK) {
            const std::string text = fault_text(err);
            if (!debug_.attached())
                return Result::failure(text);
            const bool instruction = exception_ >= 0 || err == UC_ERR_INSN_INVALID || err == UC_ERR_EXCEPTION;
            stop.cause = instruction ? StopCause::BAD_INSTRUCTION : StopCause::BAD_ACCESS;
            stop.fault = text;
        } else if (debug_.stop_pending()) {
            stop = debug_.finish_pending_stop();
        } else if (!debug_.attached()) {
            return Result::ok();
        }
        exception_ = -1;
        bad_access_ = false;
        debug_.clear_stop();
    }
}

std::string Cpu::fault_text(int engine_error) const
{
    const uc_err err = static_cast<uc_err>(engine_error);
    char text[160];
    if (exception_ >= 0)
        snprintf(text, sizeof text, "CPU exception %d at PC 0x%08x", exception_, reg(15));
    else if (bad_access_)
        snprintf(text, sizeof text, "%s at PC 0x%08x, address 0x%08llx", uc_strerror(err), reg(15),
                 static_cast<unsigned long long>(bad_address_));
    else
        snprintf(text, sizeof text, "%s at PC 0x%08x", uc_strerror(err), reg(15));
    return text;
}

void Cpu::take_interrupt()
{
    // With the instruction hook in, the next instruction stops the core.
    // Blocks translated without it never call it: they are dropped, and the
    // block running now ends into a fresh one.
    if (debug_.take_interrupt() && !instruction_hook_) {
        install_instruction_hook();
        code_changed();
    }
}

void Cpu::install_instruction_hook()
{
    ++layout_;
    check(uc_hook_add(uc_, &instruction_hook_, UC_HOOK_CODE,
                      reinterpret_cast<void*>(EngineCallbacks::instruction), this, 1, 0),
          "instruction hook");
}

void Cpu::update_instruction_hook(bool engine_stopped)
{
    const bool needed = following_cp15_ || debug_.needs_instruction_hook();
    if (needed == (instruction_hook_ != 0))
        return;
    if (needed) {
        install_instruction_hook();
    } else {
        check(uc_hook_del(uc_, instruction_hook_), "instruction hook");
        instruction_hook_ = 0;
        ++layout_;
    }
    // Code already translated calls the hook, or not, as it was when it was
    // translated. Inside the hook (the core turning big-endian) the engine
    // is running and its blocks stay: they find no hook to call.
    if (engine_stopped)
        code_changed();
}

void Cpu::update_ram_hooks(bool engine_stopped)
{
    const bool needed = following_cp15_ || debug_.watching();
    if (needed == !ram_hooks_.empty())
        return;
    ++layout_;
    if (needed) {
        for (const RamRange& r : first_ram_) {
            uc_hook hook;
            check(uc_hook_add(uc_, &hook, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE,
                              reinterpret_cast<void*>(EngineCallbacks::ram), this, r.address,
                              r.address + r.size - 1),
                  "RAM hook");
            ram_hooks_.push_back(hook);
        }
    } else {
        for (size_t hook : ram_hooks_)
            check(uc_hook_del(uc_, hook), "RAM hook");
        ram_hooks_.clear();
        if (!engine_stopped) {
            hooks_dropped_ = true;
            uc_emu_stop(uc_);  // running here: cannot fail
        }
    }
    if (engine_stopped)
        code_changed();
}

void Cpu::code_changed()
{
    // All code runs from RAM. Dropping its translations range by range is
    // quick; a whole flush clears the engine's large code buffer.
    for (const RamRange& r : ram_.ranges())
        check(uc_ctl_remove_cache(uc_, r.address, r.address + r.size), "drop translations");
}

void Cpu::stop()
{
    stopping_ = true;
    // Fails only when the engine is not running, which is stop's aim too.
    uc_emu_stop(uc_);
}

void Cpu::pause()
{
    paused_ = true;
    uc_emu_stop(uc_);  // running here: cannot fail
}

} // namespace korvasim
