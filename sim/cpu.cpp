#include "cpu.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <unicorn/unicorn.h>

#include "board_map.h"

namespace korvasim {

namespace {

void check(uc_err err, const char* what)
{
    if (err != UC_ERR_OK)
        throw std::runtime_error(std::string("unicorn: ") + what + ": " + uc_strerror(err));
}

uint32_t swap_bytes(uint32_t value, unsigned width)
{
    if (width == 2)
        return static_cast<uint16_t>(value << 8 | value >> 8);
    if (width == 4)
        return __builtin_bswap32(value);
    return value;
}

bool io_swapped = false;

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
        range->cpu->settle_ram();
        return range->cpu->bus_address(range->base + static_cast<uint32_t>(offset), width);
    }

    // Whether a debugger's watchpoint keeps the access from happening.
    static bool watched(IoRange* range, bool write, uint64_t offset, unsigned width)
    {
        Cpu* cpu = range->cpu;
        return !cpu->points_.watchpoints.empty() &&
               cpu->watched(write, cpu->bus_address(range->engine_base + static_cast<uint32_t>(offset), width),
                            width);
    }

    static uint64_t io_read(uc_engine*, uint64_t offset, unsigned width, void* data)
    {
        auto* range = static_cast<IoRange*>(data);
        if (watched(range, false, offset, width))
            return 0;
        const uint32_t value = range->handler->io_read(io_address(range, offset, width), width);
        range->cpu->take_interrupt();
        return io_swapped ? swap_bytes(value, width) : value;
    }

    static void io_write(uc_engine*, uint64_t offset, unsigned width, uint64_t value, void* data)
    {
        auto* range = static_cast<IoRange*>(data);
        if (watched(range, true, offset, width))
            return;
        const uint32_t v = static_cast<uint32_t>(value);
        range->handler->io_write(io_address(range, offset, width), width,
                                 io_swapped ? swap_bytes(v, width) : v);
        range->cpu->take_interrupt();
    }

    static void ram(uc_engine*, uc_mem_type type, uint64_t address, int size, int64_t, void* data)
    {
        static_cast<Cpu*>(data)->ram_access(type == UC_MEM_WRITE, static_cast<uint32_t>(address),
                                            static_cast<unsigned>(size));
    }

    static void instruction(uc_engine*, uint64_t address, uint32_t, void* data)
    {
        static_cast<Cpu*>(data)->instruction(static_cast<uint32_t>(address));
    }

    static void block(uc_engine*, uint64_t, uint32_t size, void* data)
    {
        static_cast<Cpu*>(data)->instructions_ += size / 4;
    }
};

namespace {

// A tiny big-endian program stores 0x11223344 into an I/O page.
class SwapProbe : public IoHandler {
public:
    uint32_t io_read(uint32_t, unsigned) override { return 0; }
    void io_write(uint32_t, unsigned, uint32_t value) override { seen = value; }
    uint32_t seen = 0;
};

} // namespace

bool Cpu::io_values_swapped()
{
    static std::once_flag probed;
    std::call_once(probed, [] {
        // ldr r1, [pc, #4]; str r1, [r0]; udf; .word 0x11223344  (r0 = 0x10000)
        alignas(4) static uint8_t code[0x1000] = {
            0xe5, 0x9f, 0x10, 0x04, 0xe5, 0x80, 0x10, 0x00, 0xe7, 0xf0, 0x00, 0xf0,
            0x11, 0x22, 0x33, 0x44};
        SwapProbe probe;
        Cpu cpu;
        cpu.map_ram(0, sizeof code, code);
        cpu.map_io(0x10000, 0x1000, &probe);
        uint32_t r0 = 0x10000;
        check(uc_reg_write(cpu.uc_, UC_ARM_REG_R0, &r0), "probe register");
        io_swapped = false;
        check(uc_emu_start(cpu.uc_, 0, 8, 0, 0), "probe run");
        if (probe.seen != 0x11223344 && probe.seen != 0x44332211)
            throw std::runtime_error("unicorn: I/O byte-order probe saw an unexpected value");
        io_swapped = probe.seen == 0x44332211;
    });
    return io_swapped;
}

Cpu::Cpu()
{
    check(uc_open(UC_ARCH_ARM, static_cast<uc_mode>(UC_MODE_ARM | UC_MODE_BIG_ENDIAN), &uc_),
          "open");
    check(uc_ctl_set_cpu_model(uc_, UC_CPU_ARM_PXA255), "CPU model");
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
    check(uc_hook_add(uc_, &instruction_hook_, UC_HOOK_CODE,
                      reinterpret_cast<void*>(EngineCallbacks::instruction), this, 1, 0),
          "instruction hook");
}

namespace {
const int REGISTER_IDS[16] = {UC_ARM_REG_R0,  UC_ARM_REG_R1,  UC_ARM_REG_R2,  UC_ARM_REG_R3,
                              UC_ARM_REG_R4,  UC_ARM_REG_R5,  UC_ARM_REG_R6,  UC_ARM_REG_R7,
                              UC_ARM_REG_R8,  UC_ARM_REG_R9,  UC_ARM_REG_R10, UC_ARM_REG_R11,
                              UC_ARM_REG_R12, UC_ARM_REG_R13, UC_ARM_REG_R14, UC_ARM_REG_R15};
// Unconditional MCR/MRC p15, 0, Rd, c1, c0, 0: the control register.
const uint32_t CP15_CONTROL_MASK = 0xFFFF0FFF;
const uint32_t MCR_CP15_CONTROL = 0xEE010F10;
const uint32_t MRC_CP15_CONTROL = 0xEE110F10;
// CPSR bit 9 (E) is the engine's, not the ARMv5 core's.
const uint32_t CPSR_ENGINE_BITS = 1u << 9;
} // namespace

void Cpu::instruction(uint32_t address)
{
    if (debugger_ && debug_instruction(address))
        return;
    if (!watching_)
        return;
    ++instructions_;
    // The transfer before this one is through: give its register the core's
    // view of bit 7 back.
    if (cp15_register_ >= 0) {
        uint32_t value = cp15_register_value_;
        if (!cp15_restore_) {
            value = reg(cp15_register_) & ~CP15_CTRL_BIG_ENDIAN;
            if (big_endian_)
                value |= CP15_CTRL_BIG_ENDIAN;
        }
        check(uc_reg_write(uc_, REGISTER_IDS[cp15_register_], &value), "CP15 register");
        cp15_register_ = -1;
    }
    if (instruction_observer_)
        instruction_observer_(address);
    if (address - code_range_.address >= code_range_.size) {
        for (const RamRange& r : ram_)
            if (address - r.address < r.size)
                code_range_ = r;
    }
    if (address - code_range_.address < code_range_.size) {
        const uint8_t* code = code_range_.host + (address - code_range_.address);
        const uint32_t word = uint32_t(code[0]) << 24 | code[1] << 16 | code[2] << 8 | code[3];
        const int rd = (word >> 12) & 0xF;
        if ((word & CP15_CONTROL_MASK) == MCR_CP15_CONTROL && rd != 15) {
            uint32_t value = reg(rd);
            big_endian_ = value & CP15_CTRL_BIG_ENDIAN;
            cp15_register_ = rd;
            cp15_register_value_ = value;
            cp15_restore_ = true;
            value |= CP15_CTRL_BIG_ENDIAN;
            check(uc_reg_write(uc_, REGISTER_IDS[rd], &value), "CP15 register");
        } else if ((word & CP15_CONTROL_MASK) == MRC_CP15_CONTROL && rd != 15) {
            cp15_register_ = rd;
            cp15_restore_ = false;
        }
    }
    if (big_endian_ && cp15_register_ < 0 && !instruction_observer_) {
        watching_ = false;
        update_code_hook(false);
        // Counting by blocks costs a hook per block instead: a delay loop's
        // two instructions make one.
        if (count_needed_)
            check(uc_hook_add(uc_, &block_hook_, UC_HOOK_BLOCK,
                              reinterpret_cast<void*>(EngineCallbacks::block), this, 1, 0),
                  "block counter");
    }
}

void Cpu::need_instruction_count(bool needed)
{
    count_needed_ = needed;
    if (!needed && block_hook_) {
        check(uc_hook_del(uc_, block_hook_), "block counter");
        block_hook_ = 0;
    }
}

Cpu::~Cpu()
{
    uc_close(uc_);  // nothing to do about a failure here
}

void Cpu::map_ram(uint32_t address, size_t size, uint8_t* host)
{
    settle_ram();
    check(uc_mem_map_ptr(uc_, address, size, UC_PROT_ALL, host), "map RAM");
    ram_.push_back({address, size, host});
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
}

void Cpu::unmap(uint32_t address, size_t size)
{
    settle_ram();
    check(uc_mem_unmap(uc_, address, size), "unmap");
    code_range_ = {0, 0, nullptr};
    for (auto it = ram_.begin(); it != ram_.end();) {
        if (it->address >= address && it->address - address < size)
            it = ram_.erase(it);
        else
            ++it;
    }
}

uint8_t* Cpu::host_of(uint32_t address)
{
    for (const RamRange& r : ram_)
        if (address - r.address < r.size)
            return r.host + (address - r.address);
    return nullptr;
}

uint32_t Cpu::bus_address(uint32_t address, unsigned width) const
{
    // The engine runs big-endian throughout; a little-endian core's byte or
    // halfword sits in the other lanes of the same word.
    if (width < 4 && !big_endian_)
        return address ^ (4 - width);
    return address;
}

void Cpu::ram_access(bool write, uint32_t address, unsigned width)
{
    settle_ram();
    uint8_t* at = host_of(address);
    if (!at || width > 4)
        return;
    const uint32_t bus = bus_address(address, width);
    uint8_t* at_bus = host_of(bus);
    if (!points_.watchpoints.empty()) {
        watched(write, bus, width);
        // The engine writes RAM itself: what it overwrites is kept so that
        // a watched instruction can be undone.
        if (write) {
            for (uint32_t where : {address, bus}) {
                UndoWrite undo{where, width, {}};
                std::copy(host_of(where), host_of(where) + width, undo.before);
                undo_writes_.push_back(undo);
            }
        }
    }
    if (!write && bus != address) {
        for (unsigned i = 0; i < width; ++i)
            std::swap(at[i], at_bus[i]);
        swapped_at_ = address;
        swapped_width_ = width;
    } else if (write && (bus != address || filter_)) {
        PendingStore store{address, bus, width, {}, {}};
        std::copy(at, at + width, store.at_engine);
        std::copy(at_bus, at_bus + width, store.at_bus);
        pending_.push_back(store);
    }
}

void Cpu::settle_ram()
{
    if (swapped_width_) {
        uint8_t* at = host_of(swapped_at_);
        uint8_t* other = host_of(swapped_at_ ^ (4 - swapped_width_));
        if (at && other)
            for (unsigned i = 0; i < swapped_width_; ++i)
                std::swap(at[i], other[i]);
        swapped_width_ = 0;
    }
    for (const PendingStore& store : pending_) {
        uint8_t* at = host_of(store.engine_address);
        uint8_t* at_bus = host_of(store.bus_address);
        if (!at || !at_bus)
            continue;
        if (store.bus_address != store.engine_address) {
            std::copy(at, at + store.width, at_bus);
            std::copy(store.at_engine, store.at_engine + store.width, at);
        }
        if (filter_)
            filter_(store.bus_address, store.width, store.at_bus, at_bus);
    }
    pending_.clear();
}

void Cpu::filter_ram_writes(RamWriteFilter filter)
{
    settle_ram();
    filter_ = std::move(filter);
}

Result Cpu::run(uint32_t address)
{
    io_values_swapped();
    // Supervisor mode, IRQ and FIQ masked, ARM state: as reset leaves the
    // core. The engine's big-endian data accesses hang on CPSR's E bit: keep it.
    uint32_t cpsr = 0;
    check(uc_reg_read(uc_, UC_ARM_REG_CPSR, &cpsr), "read CPSR");
    cpsr = (cpsr & ~0xFFu) | 0xD3;
    check(uc_reg_write(uc_, UC_ARM_REG_CPSR, &cpsr), "reset CPSR");
    set_reg(15, address);
    if (stopping_)
        return Result::ok();
    // Loads are seen only by hooks that exist when their code is
    // translated: the RAM that the core starts with is watched for good.
    for (const RamRange& r : ram_) {
        uc_hook hook;
        check(uc_hook_add(uc_, &hook, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE,
                          reinterpret_cast<void*>(EngineCallbacks::ram), this, r.address,
                          r.address + r.size - 1),
              "RAM hook");
    }
    DebugStop stop{StopCause::RESET};
    for (;;) {
        if (debugger_) {
            const DebugResume how = debugger_(stop);
            if (stopping_)
                return Result::ok();
            if (how.mode == ResumeMode::KILL) {
                killed_ = true;
                return Result::ok();
            }
            if (!stop.fault.empty() && how.mode == ResumeMode::DETACH)
                return Result::failure(stop.fault);
            resume(how);
        }
        uc_err err = UC_ERR_OK;
        if (!interrupted_)
            err = uc_emu_start(uc_, reg(15), 0xFFFFFFFF, 0, 0);
        settle_ram();
        if (stopping_)
            return Result::ok();
        stop = DebugStop{StopCause::INTERRUPT};
        if (exception_ >= 0 || err != UC_ERR_OK) {
            char text[160];
            if (exception_ >= 0)
                snprintf(text, sizeof text, "CPU exception %d at PC 0x%08x", exception_, reg(15));
            else if (bad_access_)
                snprintf(text, sizeof text, "%s at PC 0x%08x, address 0x%08llx", uc_strerror(err),
                         reg(15), static_cast<unsigned long long>(bad_address_));
            else
                snprintf(text, sizeof text, "%s at PC 0x%08x", uc_strerror(err), reg(15));
            if (!debugger_)
                return Result::failure(text);
            const bool instruction = exception_ >= 0 || err == UC_ERR_INSN_INVALID || err == UC_ERR_EXCEPTION;
            stop.cause = instruction ? StopCause::BAD_INSTRUCTION : StopCause::BAD_ACCESS;
            stop.fault = text;
        } else if (stop_pending_) {
            stop = pending_stop_;
            if (stop.cause == StopCause::WATCHPOINT)
                undo_instruction();
        } else if (!debugger_) {
            return Result::ok();
        }
        exception_ = -1;
        bad_access_ = false;
        stop_pending_ = false;
        interrupted_ = false;
    }
}

void Cpu::debug_with(StopHandler handler)
{
    debugger_ = std::move(handler);
}

void Cpu::interrupt()
{
    // The engine is not stopped from here: a stop from another thread can
    // land between two instructions of a block and start it again from its
    // first, running them twice. The core stops itself, before an
    // instruction, after its next device access (take_interrupt); run()
    // looks at the flag before it starts the engine again.
    interrupted_ = true;
}

void Cpu::take_interrupt()
{
    if (!interrupted_ || interrupt_taken_ || !debugger_)
        return;
    interrupt_taken_ = true;
    // With the instruction hook in, the next instruction stops the core.
    // Blocks translated without it never call it: they are dropped, and the
    // block running now ends into a fresh one.
    if (!instruction_hook_) {
        check(uc_hook_add(uc_, &instruction_hook_, UC_HOOK_CODE,
                          reinterpret_cast<void*>(EngineCallbacks::instruction), this, 1, 0),
              "instruction hook");
        code_changed();
    }
}

void Cpu::resume(const DebugResume& how)
{
    points_ = how.mode == ResumeMode::DETACH ? DebugPoints{} : how.points;
    std::sort(points_.breakpoints.begin(), points_.breakpoints.end());
    stepping_ = how.mode == ResumeMode::STEP;
    step_begun_ = false;
    at_resume_ = true;
    resume_pc_ = reg(15);
    undo_writes_.clear();
    // A request that came in while the core stood still is answered already.
    interrupted_ = false;
    interrupt_taken_ = false;
    update_code_hook(true);
}

void Cpu::update_code_hook(bool engine_stopped)
{
    const bool needed = watching_ || stepping_ || !points_.empty();
    if (needed == (instruction_hook_ != 0))
        return;
    if (needed)
        check(uc_hook_add(uc_, &instruction_hook_, UC_HOOK_CODE,
                          reinterpret_cast<void*>(EngineCallbacks::instruction), this, 1, 0),
              "instruction hook");
    else
        check(uc_hook_del(uc_, instruction_hook_), "instruction hook");
    if (!needed)
        instruction_hook_ = 0;
    // Code already translated calls the hook, or not, as it was when it was
    // translated. Inside the hook (the core turning big-endian) the engine
    // is running and its blocks stay: they find no hook to call.
    if (engine_stopped)
        code_changed();
}

bool Cpu::debug_instruction(uint32_t address)
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
    if (!points_.watchpoints.empty()) {
        for (int n = 0; n < 16; ++n)
            undo_registers_[n] = reg(n);
        check(uc_reg_read(uc_, UC_ARM_REG_CPSR, &undo_registers_[16]), "read CPSR");
        undo_writes_.clear();
    }
    return false;
}

bool Cpu::watched(bool write, uint32_t address, unsigned width)
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

void Cpu::request_stop(const DebugStop& stop)
{
    stop_pending_ = true;
    pending_stop_ = stop;
    uc_emu_stop(uc_);  // running here: cannot fail
}

void Cpu::undo_instruction()
{
    for (auto it = undo_writes_.rbegin(); it != undo_writes_.rend(); ++it)
        if (uint8_t* at = host_of(it->address))
            std::copy(it->before, it->before + it->width, at);
    undo_writes_.clear();
    for (int n = 0; n < 16; ++n)
        set_reg(n, undo_registers_[n]);
    check(uc_reg_write(uc_, UC_ARM_REG_CPSR, &undo_registers_[16]), "write CPSR");
}

void Cpu::code_changed()
{
    // All code runs from RAM. Dropping its translations range by range is
    // quick; a whole flush clears the engine's large code buffer.
    for (const RamRange& r : ram_)
        check(uc_ctl_remove_cache(uc_, r.address, r.address + r.size), "drop translations");
}

void Cpu::stop()
{
    stopping_ = true;
    // Fails only when the engine is not running, which is stop's aim too.
    uc_emu_stop(uc_);
}

uint32_t Cpu::reg(int n) const
{
    uint32_t value = 0;
    if (n == DebugTarget::CPSR) {
        check(uc_reg_read(uc_, UC_ARM_REG_CPSR, &value), "read CPSR");
        return value & ~CPSR_ENGINE_BITS;
    }
    check(uc_reg_read(uc_, REGISTER_IDS[n], &value), "read register");
    return value;
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
    check(uc_reg_write(uc_, REGISTER_IDS[n], &value), "write register");
}

uint32_t Cpu::cp15_control() const
{
    uc_arm_cp_reg control = {};
    control.cp = 15;
    control.crn = 1;
    check(uc_reg_read(uc_, UC_ARM_REG_CP_REG, &control), "read CP15");
    const uint32_t engine = static_cast<uint32_t>(control.val) & ~CP15_CTRL_BIG_ENDIAN;
    return big_endian_ ? engine | CP15_CTRL_BIG_ENDIAN : engine;
}

void Cpu::count_instructions(std::function<void(uint32_t)> observer)
{
    instruction_observer_ = std::move(observer);
}

void Cpu::watch_ram(uint32_t begin, uint32_t end, std::function<void(uint32_t)> observer)
{
    ram_observer_ = std::move(observer);
    uc_hook hook;
    check(uc_hook_add(uc_, &hook, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE,
                      reinterpret_cast<void*>(+[](uc_engine*, uc_mem_type, uint64_t address, int,
                                                  int64_t, void* data) {
                          static_cast<Cpu*>(data)->ram_observer_(static_cast<uint32_t>(address));
                      }),
                      this, begin, end),
          "RAM watch");
}

} // namespace korvasim
