// The Korva board: CPU, buses and devices, powered up with an image in its
// boot RAM. The CPU runs on a thread of its own; the host side talks to the
// UART and waits for what the board does. Tests and the pty front end use
// this class alike.
#ifndef KORVASIM_BOARD_H
#define KORVASIM_BOARD_H

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "firmware/board_map.h"
#include "sim/board/board_registers.h"
#include "sim/board/boot_alias.h"
#include "sim/board/bus.h"
#include "sim/core/cpu.h"
#include "sim/core/debug.h"
#include "sim/board/faults.h"
#include "sim/board/flash_block.h"
#include "sim/board/memory.h"
#include "sim/board/tick_register.h"
#include "sim/board/uart16550.h"

namespace korvasim {

struct BoardConfig {
    FaultSet faults;
    // When set, every access to a device register is traced here, counted
    // in instructions since reset (slow: counting costs a hook per step).
    std::function<void(const TraceRecord&)> trace;
    // The settings of the host's end of the serial line; unset, it is set up
    // as the board's UART should be.
    std::function<LineSettings()> host_line;
    // Told once per address about an access to a register that its device
    // does not define, or with a width the register does not take.
    std::function<void(const std::string&)> on_undefined_access;
    // Whether output() keeps everything sent; a long session forwards its
    // output instead and keeps nothing.
    bool record_output = true;
    // Whether the UART sends each byte in its line time, as the board's
    // does; else at once, for runs whose outcome does not hang on timing
    // (and tests that count the firmware's polls).
    bool timed_line = true;
    // Reset values of registers whose reset state the start-up must keep.
    uint32_t exp_cnfg0_reset = 0x80000000;
    uint32_t sdram_if_control_reset = 0x00000011;
    // When set, the core stops and goes on as it says (see debug.h).
    Debugger* debugger = nullptr;
    // Whether the core stops where the firmware waits for input, instead of
    // waiting there: the board can then be saved and started again from
    // there (save_state, restore_state, resume). Needs a line that sends at
    // once and no debugger. The time limits of boot(), exchange() and
    // wait_idle() then count the core's own time (its thread's processor
    // time), so that a loaded machine does not turn a slow answer into none.
    bool pause_when_waiting = false;
};

// Which devices that faults sit in the CPU has accessed.
struct TouchedDevices {
    bool sram, sdram, flash;
};

class Board : public DebugTarget {
public:
    explicit Board(BoardConfig config = {});
    ~Board() override;
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    // Places an image at the start of the boot RAM. Throws std::length_error
    // for an image larger than the RAM.
    void load_image(const std::vector<uint8_t>& image);
    uint8_t* boot_ram() { return boot_ram_.data(); }

    // Starts the CPU at address 0 in reset state, the boot RAM seen there.
    void power_on();
    // Stops the CPU; memories stay as they are for inspection.
    void power_off();

    // Loads image, powers on and waits for the firmware to wait for input:
    // false if it does not within timeout_ms.
    bool boot(const std::vector<uint8_t>& image, int timeout_ms);
    // Sends bytes and waits until the firmware waits for input again: false
    // if it does not within timeout_ms. *answer gets what the board sent
    // meanwhile.
    bool exchange(const std::string& bytes, int timeout_ms, std::string* answer);

    // A paused board's whole state: core, boot RAM, devices and output.
    struct SavedState;
    // Only while paused (std::logic_error otherwise).
    std::shared_ptr<const SavedState> save_state();
    // Puts a state saved on this board back, the board paused there: false,
    // with nothing put back, once the board cannot take it (not paused, or
    // its core's memory map, store filter or hooks changed since).
    bool restore_state(const SavedState& state);
    // The devices' faults from now on. Faults in a device the CPU has
    // accessed could have changed what it did: see touched_devices().
    void set_faults(const FaultSet& faults);
    TouchedDevices touched_devices() const;
    // Goes on from the pause; wait_idle() waits for the next one.
    void resume();
    // The core's own time in the last run from power-on or a pause to the
    // next pause, in milliseconds.
    double last_run_ms() const;

    // Host side of the UART.
    void send(const std::string& bytes);
    // Also hands every transmitted byte to sink, on the UART's transmitter
    // thread (the CPU's with an instant line).
    void forward_output(std::function<void(uint8_t)> sink);
    std::string output() const;
    bool wait_output(const std::function<bool(const std::string&)>& done, int timeout_ms);
    bool wait_output_contains(const std::string& text, int timeout_ms);

    // True once the firmware polls for input with nothing received; false
    // after timeout_ms or as soon as the board halts.
    bool wait_idle(int timeout_ms);
    // True once the CPU has stopped on a fault (or was powered off).
    bool wait_halted(int timeout_ms);
    std::string fault() const;
    // Whether a debugger ended the board's run.
    bool killed() const { return halted_now() && cpu_.killed(); }

    // What a debugger does with the board (see debug.h).
    void interrupt() override;
    uint32_t reg(int n) const override { return cpu_.reg(n); }
    void set_reg(int n, uint32_t value) override { cpu_.set_reg(n, value); }
    bool read_memory(uint32_t address, uint8_t* out, size_t length) override;
    bool write_memory(uint32_t address, const uint8_t* data, size_t length) override;

    uint64_t ticks() const { return tick_.writes(); }
    // Accesses to registers that their device does not define (all of them,
    // not once per address).
    uint64_t undefined_accesses() const;
    uint32_t cp15_control() const { return cpu_.cp15_control(); }
    uint64_t instructions() const { return cpu_.instructions(); }
    // In trace mode: the first instruction fetched from the boot device's
    // window, and the first data access to the boot RAM through it.
    uint64_t first_window_fetch() const { return first_window_fetch_; }
    uint64_t first_window_data_access() const { return first_window_data_; }

    Memory& sram() { return *sram_; }
    Memory& sdram() { return *sdram_; }
    const ExpansionBus& expansion_bus() const { return expansion_; }
    const Uart16550& uart() const { return uart_; }

    static constexpr uint64_t NEVER = ~0ull;

private:
    // What the expansion bus shows of chip select 0, and where.
    struct BootDeviceMap {
        bool visible;   // the window is on and holds the whole boot RAM
        bool garbled;   // the chip select's data bus is not the RAM's 8 bits
        bool alias;     // MEM_MAP: the expansion bus at address 0 as well
        bool operator==(const BootDeviceMap& o) const
        {
            return visible == o.visible && garbled == o.garbled && alias == o.alias;
        }
    };

    void map_boot_aliases();
    void update_memory_map();
    void filter_boot_ram_write(uint32_t address, unsigned width, const uint8_t* before,
                               uint8_t* now);
    void bus_fault(const std::string& what);
    void undefined_access(char kind, uint32_t address, unsigned width);
    void transmitted(uint8_t byte);
    void run_cpu(bool resume);
    // True once paused, false if the board halts first or its core's time
    // in this run passes budget_ms.
    bool wait_paused(int budget_ms);
    bool paused_now() const;
    bool halted_now() const;
    // Where the bus sees what the core sees at address, for a debugger.
    bool bus_address_of(uint32_t address, uint32_t* bus) const;

    BoardConfig config_;
    Cpu cpu_;
    std::vector<uint8_t> boot_ram_;
    // What the core reads while the data bus width is wrong: the bytes of
    // even addresses float high.
    std::vector<uint8_t> garbled_ram_;
    ExpansionBus expansion_;
    SdramController sdram_controller_;
    RegisterFile sdram_interface_;
    Uart16550 uart_;
    TickRegister tick_;
    FlashBlock flash_;
    std::unique_ptr<Memory> sram_;
    std::unique_ptr<Memory> sdram_;
    Bus bus_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string output_;
    std::function<void(uint8_t)> output_sink_;
    std::string fault_;
    uint64_t undefined_accesses_ = 0;
    std::set<uint32_t> undefined_addresses_;
    BootDeviceMap mapped_{};
    // The I/O pages of the chip selects' devices, [first, end), which
    // MEM_MAP shows at the alias as well, and the SDRAM's ranges between
    // those aliases, [first, end).
    std::vector<std::pair<uint32_t, uint32_t>> expansion_pages_;
    std::vector<std::pair<uint32_t, uint32_t>> sdram_between_aliases_;
    BootAlias boot_alias_{bus_, mapped_.alias};
    bool memory_mapped_ = false;
    bool running_ = false;
    bool paused_ = false;
    bool halted_ = false;
    double last_run_ms_ = 0;
    std::thread thread_;
    uint64_t first_window_fetch_ = NEVER;
    uint64_t first_window_data_ = NEVER;
};

struct Board::SavedState {
    Cpu::State cpu;
    std::vector<uint8_t> boot_ram, garbled_ram;
    Uart16550::State uart;
    uint64_t ticks;
    FlashBlock::State flash;
    Memory::State sram, sdram;
    std::map<uint32_t, uint32_t> expansion, sdram_interface;
    SdramController::State sdram_controller;
    std::string output;
    uint64_t undefined_accesses;
    std::set<uint32_t> undefined_addresses;
    uint64_t first_window_fetch, first_window_data;
};

} // namespace korvasim

#endif
