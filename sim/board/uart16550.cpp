#include "sim/board/uart16550.h"

#include <chrono>
#include <stdexcept>

#include "firmware/board_map.h"

namespace korvasim {

namespace {
const uint8_t IIR_NO_INTERRUPT = 0x01;
const uint8_t IIR_FIFOS_ON = 0xC0;
const uint8_t LSR_TEMT = 0x40;
const uint8_t MSR_OFFSET = 6;
const uint8_t SCR_OFFSET = 7;
const uint8_t LCR_WORD_LENGTH = 0x03;
const uint8_t LCR_TWO_STOP_BITS = 0x04;
const uint8_t LCR_PARITY = 0x08;
const uint8_t LCR_EVEN_PARITY = 0x10;
const uint8_t LCR_STICK_PARITY = 0x20;
} // namespace

Uart16550::Uart16550(std::function<void(uint8_t)> transmit,
                     std::function<LineSettings()> host_line, bool timed)
    : transmit_(std::move(transmit)), host_line_(std::move(host_line)), timed_(timed)
{
    if (!host_line_)
        host_line_ = [] { return LineSettings{}; };
    if (timed_)
        transmitter_ = std::thread([this] { run_transmitter(); });
}

Uart16550::~Uart16550()
{
    shut_down();
}

LineSettings Uart16550::line() const
{
    LineSettings line;
    const unsigned divisor = static_cast<unsigned>(dlm_) << 8 | dll_;
    line.baud = divisor ? UART_CLOCK_HZ / (16 * divisor) : 0;
    line.data_bits = 5 + (lcr_ & LCR_WORD_LENGTH);
    line.stop_bits = (lcr_ & LCR_TWO_STOP_BITS) ? 2 : 1;
    if (!(lcr_ & LCR_PARITY))
        line.parity = 'N';
    else if (lcr_ & LCR_STICK_PARITY)
        line.parity = (lcr_ & LCR_EVEN_PARITY) ? 'S' : 'M';
    else
        line.parity = (lcr_ & LCR_EVEN_PARITY) ? 'E' : 'O';
    return line;
}

void Uart16550::receive(const std::string& bytes)
{
    const LineSettings host = host_line_();
    std::lock_guard<std::mutex> lock(mutex_);
    const LineSettings own = line();
    for (char c : bytes) {
        if (rx_.size() < RX_FIFO_SIZE)
            rx_.push_back(across_line(static_cast<uint8_t>(c), host, own));
        else
            overrun_ = true;
    }
    if (!bytes.empty())
        idle_ = false;
    changed_.notify_all();
}

bool Uart16550::wait_idle(int timeout_ms)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return idle_; });
}

void Uart16550::shut_down()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        shut_down_ = true;
        changed_.notify_all();
    }
    if (transmitter_.joinable())
        transmitter_.join();
}

void Uart16550::run_transmitter()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (shut_down_)
            return;
        if (tx_.empty()) {
            changed_.wait(lock);
            continue;
        }
        const Outgoing next = tx_.front();
        if (Clock::now() < next.sent) {
            changed_.wait_until(lock, next.sent);
            continue;
        }
        // Its line time over, the byte takes no room any more (a host that
        // answers it at once must find room for the answer's echo), but
        // THRE and TEMT wait until the host has it, so that an empty
        // transmitter means all is delivered.
        tx_.pop_front();
        delivering_ = true;
        lock.unlock();
        transmit_(next.byte);
        lock.lock();
        delivering_ = false;
        changed_.notify_all();
    }
}

void Uart16550::send(uint8_t byte, std::unique_lock<std::mutex>& lock)
{
    const LineSettings own = line();
    const uint8_t received = across_line(byte, own, host_line_());
    if (!timed_) {
        lock.unlock();
        transmit_(received);
        return;
    }
    // The holding register (or the FIFO) and the shift register behind it;
    // a full transmitter loses the byte, as the chip's does.
    const size_t room = ((fcr_ & UART_FCR_ENABLE) ? TX_FIFO_SIZE : 1) + 1;
    if (tx_.size() >= room)
        return;
    const unsigned bits = 1 + own.data_bits + (own.parity == 'N' ? 0 : 1) + own.stop_bits;
    const unsigned divisor = static_cast<unsigned>(dlm_) << 8 | dll_;
    // Without a divisor the baud generator stands still: nothing leaves.
    Clock::time_point sent = Clock::time_point::max();
    if (divisor && (tx_.empty() || tx_.back().sent != Clock::time_point::max())) {
        const Clock::time_point start = tx_.empty() ? Clock::now() : tx_.back().sent;
        const uint64_t frame_ns = uint64_t(1000000000) * bits * 16 * divisor / UART_CLOCK_HZ;
        sent = start + std::chrono::nanoseconds(frame_ns);
    }
    tx_.push_back({received, sent});
    changed_.notify_all();
}

uint8_t Uart16550::status_now() const
{
    uint8_t status = tx_.empty() && !delivering_ ? UART_LSR_THRE | LSR_TEMT : 0;
    if (!rx_.empty())
        status |= UART_LSR_DR;
    if (overrun_)
        status |= UART_LSR_OE;
    return status;
}

uint8_t Uart16550::line_status(std::unique_lock<std::mutex>& lock)
{
    if (status_now() != polled_status_) {
        polled_status_ = status_now();
        same_polls_ = 1;
    } else if (++same_polls_ >= IDLE_POLLS && !shut_down_ && polls_wait_) {
        // The firmware waits for the line, for a byte or for room to send:
        // block until the status changes rather than spin the host. A
        // timed transmitter or the host changes it; nothing the CPU could
        // do meanwhile would, as it only polls.
        idle_ = rx_.empty() && tx_.empty() && !delivering_;
        changed_.notify_all();
        if (idle_ && pause_) {
            pause_();
        } else {
            changed_.wait(lock, [&] {
                return status_now() != polled_status_ || shut_down_ || woken_ || !polls_wait_;
            });
            idle_ = false;
            woken_ = false;
            same_polls_ = 1;
        }
    }
    const uint8_t status = status_now();
    polled_status_ = status & ~UART_LSR_OE;
    overrun_ = false;
    return status;
}

Uart16550::State Uart16550::save()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (timed_)
        throw std::logic_error("a timed line's state is not saved");
    return {rx_, overrun_, idle_, same_polls_, polled_status_, ier_, fcr_, lcr_, mcr_, scr_, dll_, dlm_};
}

void Uart16550::restore(const State& s)
{
    std::lock_guard<std::mutex> lock(mutex_);
    rx_ = s.rx;
    overrun_ = s.overrun;
    idle_ = s.idle;
    woken_ = false;
    same_polls_ = s.same_polls;
    polled_status_ = s.polled_status;
    ier_ = s.ier;
    fcr_ = s.fcr;
    lcr_ = s.lcr;
    mcr_ = s.mcr;
    scr_ = s.scr;
    dll_ = s.dll;
    dlm_ = s.dlm;
}

void Uart16550::wake_poller()
{
    std::lock_guard<std::mutex> lock(mutex_);
    woken_ = true;
    changed_.notify_all();
}

void Uart16550::let_polls_wait(bool wait)
{
    std::lock_guard<std::mutex> lock(mutex_);
    polls_wait_ = wait;
    changed_.notify_all();
}

uint32_t Uart16550::read(uint32_t offset, unsigned)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (offset != UART_LSR)
        same_polls_ = 0;
    const bool dlab = lcr_ & UART_LCR_DLAB;
    switch (offset) {
    case UART_RBR:
        if (dlab)
            return dll_;
        if (rx_.empty())
            return 0;
        {
            const uint8_t byte = rx_.front();
            rx_.pop_front();
            return byte;
        }
    case UART_IER:
        return dlab ? dlm_ : ier_;
    case UART_FCR:  // IIR when read
        return IIR_NO_INTERRUPT | ((fcr_ & UART_FCR_ENABLE) ? IIR_FIFOS_ON : 0);
    case UART_LCR:
        return lcr_;
    case UART_MCR:
        return mcr_;
    case UART_LSR:
        return line_status(lock);
    case MSR_OFFSET:
        return 0;
    case SCR_OFFSET:
        return scr_;
    default:
        return 0;
    }
}

void Uart16550::write(uint32_t offset, unsigned, uint32_t value)
{
    const uint8_t byte = static_cast<uint8_t>(value);
    std::unique_lock<std::mutex> lock(mutex_);
    same_polls_ = 0;
    const bool dlab = lcr_ & UART_LCR_DLAB;
    switch (offset) {
    case UART_THR:
        if (dlab) {
            dll_ = byte;
        } else {
            send(byte, lock);
        }
        break;
    case UART_IER:
        (dlab ? dlm_ : ier_) = byte;
        break;
    case UART_FCR:
        fcr_ = byte & ~(UART_FCR_CLEAR_RX | UART_FCR_CLEAR_TX);
        if (byte & UART_FCR_CLEAR_RX)
            rx_.clear();
        // The byte on the line goes on; the FIFO behind it empties.
        if ((byte & UART_FCR_CLEAR_TX) && tx_.size() > 1)
            tx_.erase(tx_.begin() + 1, tx_.end());
        break;
    case UART_LCR:
        lcr_ = byte;
        break;
    case UART_MCR:
        mcr_ = byte;
        break;
    case SCR_OFFSET:
        scr_ = byte;
        break;
    default:
        break;
    }
}

} // namespace korvasim
