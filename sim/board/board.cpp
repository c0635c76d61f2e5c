#include "sim/board/board.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "firmware/board_map.h"
#include "sim/support/thread_time.h"

namespace korvasim {

namespace {
// The engine maps memory in pages of this size.
const uint32_t PAGE = 0x1000;
const uint32_t UART_REGISTERS = 8;
const uint32_t REGISTER_BLOCK = 0x100;
} // namespace

Board::Board(BoardConfig config)
    : config_(std::move(config)), boot_ram_(BOOT_RAM_SIZE, 0), garbled_ram_(BOOT_RAM_SIZE, 0),
      expansion_(config_.exp_cnfg0_reset, [this] { update_memory_map(); }),
      sdram_controller_([this] { return cpu_.instructions(); }, [this] { sdram_->lose_contents(); },
                        [this] { cpu_.need_instruction_count(false); }),
      sdram_interface_({{SDRAM_IF_CONTROL, config_.sdram_if_control_reset}},
                       {SDRAM_IF_INDEXED, SDRAM_IF_CONTROL, SDRAM_IF_50, SDRAM_IF_54, SDRAM_IF_58,
                        SDRAM_IF_5C, SDRAM_IF_60, SDRAM_IF_64, SDRAM_IF_68, SDRAM_IF_74,
                        SDRAM_IF_78, SDRAM_IF_7C}),
      uart_([this](uint8_t byte) { transmitted(byte); }, config_.host_line, config_.timed_line),
      flash_(config_.faults.flash),
      sram_(std::make_unique<Memory>(SRAM_SIZE, 1, config_.faults.sram)),
      sdram_(std::make_unique<Memory>(SDRAM_SIZE, 4, config_.faults.sdram,
                                      [this] { return sdram_controller_.holds_data(); })),
      bus_(&expansion_, [this](const std::string& what) { bus_fault(what); },
           [this](char kind, uint32_t address, unsigned width) { undefined_access(kind, address, width); })
{
    // The board's regions behind the bus, the one table that the bus and
    // the CPU's I/O pages are built from. The boot RAM is the engine's own
    // memory and the SDRAM's page comes and goes with MEM_MAP (see
    // update_memory_map).
    const int NONE = Bus::NO_CHIP_SELECT;
    const Bus::Region regions[] = {
        {UART_BASE, UART_REGISTERS, &uart_, true, 0, 8},
        {BOARD_TICK_REG, 1, &tick_, true, 0, 8},
        {FLASH_REG_BASE, EXP_WINDOW_STRIDE, &flash_, true, 1, 16},
        {SRAM_BASE, EXP_WINDOW_STRIDE, sram_.get(), false, 2, 8},
        {EXP_CFG_BASE, PAGE, &expansion_, true, NONE, 8},
        {SDRAM_CTRL_BASE, REGISTER_BLOCK, &sdram_controller_, true, NONE, 8},
        {SDRAM_IF_BASE, REGISTER_BLOCK, &sdram_interface_, true, NONE, 8},
        {SDRAM_BASE, SDRAM_SIZE, sdram_.get(), false, NONE, 8},
    };
    uint32_t mapped_end = 0;  // of the last I/O range mapped
    for (const Bus::Region& r : regions) {
        bus_.attach(r);
        if (r.device == sdram_.get())
            continue;
        const uint32_t first = r.base & ~(PAGE - 1);
        const uint32_t end = (r.base + r.size + PAGE - 1) & ~(PAGE - 1);
        if (mapped_end > first)
            continue;  // shares the page of the region before it
        mapped_end = end;
        cpu_.map_io(first, end - first, &bus_);
        if (r.chip_select != NONE)
            expansion_pages_.emplace_back(first, end);
    }
    map_boot_aliases();
    update_memory_map();
    if (config_.pause_when_waiting) {
        if (config_.debugger || config_.timed_line)
            throw std::logic_error("a board that pauses has an instant line and no debugger");
        uart_.pause_polls_with([this] { cpu_.pause(); });
    }
    if (config_.debugger)
        cpu_.debug_with([this](const DebugStop& stop) {
            const DebugResume how = config_.debugger->stopped(*this, stop);
            // A step over a poll for input must come back.
            uart_.let_polls_wait(how.mode != ResumeMode::STEP);
            return how;
        });
    // The SDRAM controller times its power-up waits in instructions.
    cpu_.need_instruction_count(true);

    if (config_.trace) {
        bus_.trace_to(config_.trace, &cpu_);
        cpu_.trace_instructions([this](uint32_t address) {
            if (address - IMAGE_BASE < BOOT_RAM_SIZE && first_window_fetch_ == NEVER)
                first_window_fetch_ = cpu_.instructions();
        });
        cpu_.observe_ram_accesses(IMAGE_BASE, IMAGE_BASE + BOOT_RAM_SIZE - 1, [this](uint32_t) {
            if (first_window_data_ == NEVER)
                first_window_data_ = cpu_.instructions();
        });
    }
}

// The aliases stay mapped; the SDRAM between them comes and goes with
// MEM_MAP (see update_memory_map).
void Board::map_boot_aliases()
{
    uint32_t sdram_from = SDRAM_BASE;
    for (const auto& [first, end] : expansion_pages_) {
        cpu_.map_io(first - ALIAS_OFFSET, end - first, &boot_alias_);
        if (first - ALIAS_OFFSET > sdram_from)
            sdram_between_aliases_.emplace_back(sdram_from, first - ALIAS_OFFSET);
        sdram_from = end - ALIAS_OFFSET;
    }
    if (sdram_from < SDRAM_BASE + SDRAM_SIZE)
        sdram_between_aliases_.emplace_back(sdram_from, SDRAM_BASE + SDRAM_SIZE);
}

Board::~Board()
{
    power_off();
}

void Board::update_memory_map()
{
    // Called at construction and from inside the CPU's writes to the
    // expansion bus controller. The engine maps RAM in pages coarser than
    // the smallest window, so a window that does not hold the whole boot RAM
    // takes all of it away.
    const BootDeviceMap map{expansion_.decodes(0, BOOT_RAM_SIZE - 1), expansion_.data_bits(0) != 8,
                            expansion_.mem_map()};
    const bool writes_as_given = expansion_.writable(0) && !map.garbled;
    RamWriteFilter filter;
    if (!writes_as_given)
        filter = [this](uint32_t address, unsigned width, const uint8_t* before, uint8_t* now) {
            filter_boot_ram_write(address, width, before, now);
        };
    cpu_.filter_ram_writes(std::move(filter));
    if (memory_mapped_ && map == mapped_)
        return;
    if (memory_mapped_) {
        if (mapped_.visible)
            cpu_.unmap(IMAGE_BASE, BOOT_RAM_SIZE);
        if (!mapped_.alias)
            for (const auto& [first, end] : sdram_between_aliases_)
                cpu_.unmap(first, end - first);
        else if (mapped_.visible)
            cpu_.unmap(0, BOOT_RAM_SIZE);
    }
    if (map.garbled && !(memory_mapped_ && mapped_.garbled))
        for (uint32_t i = 0; i < BOOT_RAM_SIZE; ++i)
            garbled_ram_[i] = (i % 2 == 0) ? 0xFF : boot_ram_[i];
    uint8_t* view = map.garbled ? garbled_ram_.data() : boot_ram_.data();
    if (map.visible)
        cpu_.map_ram(IMAGE_BASE, BOOT_RAM_SIZE, view);
    if (!map.alias)
        for (const auto& [first, end] : sdram_between_aliases_)
            cpu_.map_io(first, end - first, &bus_);
    else if (map.visible)
        cpu_.map_ram(0, BOOT_RAM_SIZE, view);
    mapped_ = map;
    memory_mapped_ = true;
}

void Board::filter_boot_ram_write(uint32_t address, unsigned width, const uint8_t* before,
                                  uint8_t* now)
{
    // Write enable off: the strobe never comes. A 16-bit bus setting drives
    // the bytes of even addresses on lanes the RAM is not wired to: they
    // float high, in the RAM as on the way back.
    const bool writable = expansion_.writable(0);
    const bool garbled = expansion_.data_bits(0) != 8;
    for (unsigned i = 0; i < width; ++i) {
        const uint32_t offset = (address + i) % BOOT_RAM_SIZE;
        if (!writable) {
            now[i] = before[i];
        } else {
            if (garbled && offset % 2 == 0)
                now[i] = 0xFF;
            boot_ram_[offset] = now[i];
        }
    }
}

void Board::load_image(const std::vector<uint8_t>& image)
{
    if (image.size() > BOOT_RAM_SIZE)
        throw std::length_error("an image of " + std::to_string(image.size()) +
                                " bytes does not fit the " + std::to_string(BOOT_RAM_SIZE) +
                                "-byte boot RAM");
    std::copy(image.begin(), image.end(), boot_ram_.begin());
}

void Board::power_on()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_ || halted_)
        throw std::logic_error("a board is powered on once");
    running_ = true;
    thread_ = std::thread([this] { run_cpu(false); });
}

void Board::run_cpu(bool resume)
{
    const Result ran = resume ? cpu_.resume() : cpu_.run(0);
    const double ran_ms = own_thread_ms();
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    last_run_ms_ = ran_ms;
    if (ran && cpu_.paused()) {
        paused_ = true;
    } else {
        if (fault_.empty())
            fault_ = ran.why();
        halted_ = true;
    }
    changed_.notify_all();
}

void Board::power_off()
{
    if (config_.debugger)
        config_.debugger->board_gone(*this);
    uart_.shut_down();
    std::unique_lock<std::mutex> lock(mutex_);
    // The engine may not have started when the first stop arrives: repeat.
    while (running_) {
        cpu_.stop();
        changed_.wait_for(lock, std::chrono::milliseconds(10));
    }
    // A paused board is off now, as a halted one: it goes on no more.
    if (paused_) {
        paused_ = false;
        halted_ = true;
    }
    lock.unlock();
    if (thread_.joinable())
        thread_.join();
}

void Board::bus_fault(const std::string& what)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fault_.empty())
            fault_ = what;
    }
    cpu_.stop();
}

void Board::undefined_access(char kind, uint32_t address, unsigned width)
{
    bool first;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++undefined_accesses_;
        first = undefined_addresses_.insert(address).second;
    }
    if (first && config_.on_undefined_access) {
        char text[120];
        snprintf(text, sizeof text, "%s of %u byte%s at 0x%08x: no such register, or not of that width",
                 kind == 'R' ? "read" : "write", width, width == 1 ? "" : "s", address);
        config_.on_undefined_access(text);
    }
}

uint64_t Board::undefined_accesses() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return undefined_accesses_;
}

bool Board::boot(const std::vector<uint8_t>& image, int timeout_ms)
{
    load_image(image);
    power_on();
    return wait_idle(timeout_ms);
}

bool Board::exchange(const std::string& bytes, int timeout_ms, std::string* answer)
{
    // A pausing board takes bytes only where it paused for them.
    if (config_.pause_when_waiting && !paused_now())
        return false;
    const size_t before = output().size();
    send(bytes);
    if (config_.pause_when_waiting)
        resume();
    const bool idle = wait_idle(timeout_ms);
    *answer = output().substr(before);
    return idle;
}

void Board::send(const std::string& bytes)
{
    uart_.receive(bytes);
}

void Board::forward_output(std::function<void(uint8_t)> sink)
{
    std::lock_guard<std::mutex> lock(mutex_);
    output_sink_ = std::move(sink);
}

void Board::transmitted(uint8_t byte)
{
    std::function<void(uint8_t)> sink;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (config_.record_output)
            output_ += static_cast<char>(byte);
        sink = output_sink_;
        changed_.notify_all();
    }
    if (sink)
        sink(byte);
}

std::string Board::output() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return output_;
}

bool Board::wait_output(const std::function<bool(const std::string&)>& done, int timeout_ms)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return done(output_) || halted_; }) &&
           done(output_);
}

bool Board::wait_output_contains(const std::string& text, int timeout_ms)
{
    return wait_output([&](const std::string& out) { return out.find(text) != std::string::npos; },
                       timeout_ms);
}

bool Board::wait_idle(int timeout_ms)
{
    if (config_.pause_when_waiting)
        return wait_paused(timeout_ms);
    // A halted board never asks for input: give up on it early.
    const int slice_ms = 20;
    for (int waited = 0; waited < timeout_ms; waited += slice_ms) {
        if (uart_.wait_idle(std::min(slice_ms, timeout_ms - waited)))
            return true;
        if (wait_halted(0))
            return false;
    }
    return uart_.wait_idle(0);
}

bool Board::wait_halted(int timeout_ms)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return halted_; });
}

bool Board::halted_now() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return halted_;
}

void Board::interrupt()
{
    cpu_.interrupt();
    uart_.wake_poller();
}

std::string Board::fault() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return fault_;
}

} // namespace korvasim
