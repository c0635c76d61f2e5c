// The board's 16550 UART. The CPU side is the register set; the host side
// delivers received bytes and takes transmitted ones, both across the line:
// with settings other than the host's, each side reads garbage. A timed
// transmitter sends each byte in its line time (10 bit times for 8N1) on a
// thread of its own, and THRE and TEMT stay clear until all it holds is
// sent; an instant one hands bytes over at once and always has room.
#ifndef KORVASIM_UART16550_H
#define KORVASIM_UART16550_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "sim/board/device.h"
#include "sim/board/serial_line.h"

namespace korvasim {

class Uart16550 : public Device {
public:
    static constexpr size_t RX_FIFO_SIZE = 16;
    static constexpr size_t TX_FIFO_SIZE = 16;
    static constexpr int IDLE_POLLS = 4;

    // host_line tells the settings of the far end of the line; by default
    // it is set up as the board's UART should be (115200 baud, 8N1).
    // transmit is called on the transmitter's thread when timed, else on
    // the CPU's.
    explicit Uart16550(std::function<void(uint8_t)> transmit,
                       std::function<LineSettings()> host_line = nullptr, bool timed = true);
    ~Uart16550();
    Uart16550(const Uart16550&) = delete;
    Uart16550& operator=(const Uart16550&) = delete;

    // The line format the registers set up.
    LineSettings line() const;

    // Host side, from any thread. Bytes beyond a full receive FIFO are lost
    // and flag an overrun, as on the chip.
    void receive(const std::string& bytes);
    // True once the CPU polls for input with nothing received; false if
    // timeout_ms passes first.
    bool wait_idle(int timeout_ms);
    // Releases a CPU that waits for input, for good, and stops the
    // transmitter; what it still holds is never sent.
    void shut_down();
    // Releases a CPU that waits for input once (a debugger stops it).
    void wake_poller();
    // Whether polls for input may wait (not while a debugger steps).
    void let_polls_wait(bool wait);
    // Called on the CPU's thread, instead of a wait, when the CPU polls for
    // input with nothing received and nothing to send: a board that stops
    // its core there to be started again (see Cpu::pause).
    void pause_polls_with(std::function<void()> pause) { pause_ = std::move(pause); }

    // What the UART holds and how it is set up, for a board started again
    // from a saved state. A timed line's bytes on their way are not kept:
    // saved states are for boards whose line sends at once.
    struct State {
        std::deque<uint8_t> rx;
        bool overrun, idle;
        int same_polls;
        uint8_t polled_status, ier, fcr, lcr, mcr, scr, dll, dlm;
    };
    State save();
    void restore(const State& state);

    uint32_t read(uint32_t offset, unsigned width) override;
    void write(uint32_t offset, unsigned width, uint32_t value) override;
    // Eight byte registers; the line and modem status registers are read-only.
    bool defines(uint32_t offset, unsigned width, bool write) const override
    {
        return width == 1 && offset < 8 && !(write && (offset == 5 || offset == 6));
    }

    uint8_t divisor_low() const { return dll_; }
    uint8_t divisor_high() const { return dlm_; }
    uint8_t line_control() const { return lcr_; }
    uint8_t modem_control() const { return mcr_; }

private:
    using Clock = std::chrono::steady_clock;
    struct Outgoing {
        uint8_t byte;        // as the host will read it
        Clock::time_point sent;
    };

    uint8_t line_status(std::unique_lock<std::mutex>& lock);
    uint8_t status_now() const;
    void send(uint8_t byte, std::unique_lock<std::mutex>& lock);
    void run_transmitter();

    std::function<void(uint8_t)> transmit_;
    std::function<LineSettings()> host_line_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<uint8_t> rx_;
    // Bytes written and not yet sent, the one on the line first.
    std::deque<Outgoing> tx_;
    // A byte sent and being handed to the host.
    bool delivering_ = false;
    bool timed_;
    std::thread transmitter_;
    bool overrun_ = false;
    bool idle_ = false;
    bool shut_down_ = false;
    bool woken_ = false;
    bool polls_wait_ = true;
    std::function<void()> pause_;
    // Status reads in a row that found the same status, with no other
    // access to the UART in between: after a few the CPU is taken to be
    // waiting for that status to change (a byte received, room to send).
    int same_polls_ = 0;
    uint8_t polled_status_ = 0;
    uint8_t ier_ = 0, fcr_ = 0, lcr_ = 0, mcr_ = 0, scr_ = 0, dll_ = 0, dlm_ = 0;
};

} // namespace korvasim

#endif
