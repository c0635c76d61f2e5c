#include "sim/program/pty_front_end.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "sim/board/board.h"
#include "sim/program/terminal_line.h"

namespace korvasim {

namespace {

// Longest time the front end waits before it looks at the stop flag again.
const int POLL_SLICE_MS = 100;
const int OUTPUT_GRACE_MS = 20;
// An image this short was typed, not downloaded.
const size_t TYPED_IMAGE_BYTES = 64;

std::runtime_error system_error(const std::string& what)
{
    return std::runtime_error(what + ": " + strerror(errno));
}

} // namespace

PtyFrontEnd::PtyFrontEnd()
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        throw system_error("cannot create a pseudo-terminal");
    slave_path_ = ptsname(master_);
    slave_ = open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (slave_ < 0)
        throw system_error("cannot open " + slave_path_);
    // A serial port that is not set up by its user runs raw at 115200 8N1.
    tcgetattr(slave_, &defaults_);
    cfmakeraw(&defaults_);
    defaults_.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&defaults_, B115200);
    cfsetospeed(&defaults_, B115200);
    if (tcsetattr(slave_, TCSANOW, &defaults_) != 0)
        throw system_error("cannot set up " + slave_path_);
    // Packet mode: the host's purges of its port are told, so that the
    // loader knows when its wake-up byte was thrown away.
    int packets = 1;
    if (ioctl(master_, TIOCPKT, &packets) != 0)
        throw system_error("cannot watch the purges of " + slave_path_);
    events_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (events_ < 0 ||
        inotify_add_watch(events_, slave_path_.c_str(), IN_OPEN | IN_CLOSE) < 0)
        throw system_error("cannot watch " + slave_path_);
}

PtyFrontEnd::~PtyFrontEnd()
{
    close(events_);
    close(slave_);
    close(master_);
}

void PtyFrontEnd::take_port_events()
{
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = read(events_, buffer, sizeof buffer);
        if (n <= 0)
            return;
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if (event->mask & IN_OPEN) {
                opened_ = opened_ || (holders_ == 0 && !power_);
                output_open_ = output_open_ || (power_ && power_->on());
                ++holders_;
            } else if ((event->mask & IN_CLOSE) && holders_ > 0 && --holders_ == 0) {
                closed_ = closed_ || !power_;
                // Nobody hears the board now; with a switch it runs on.
                output_open_ = false;
                // At once, so that a host that opens again finds it fresh.
                reset_port();
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

PtyFrontEnd::Wait PtyFrontEnd::wait(int timeout_ms, const std::atomic<bool>& stop)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        take_port_events();
        if (stop)
            return Wait::STOP;
        if (closed_)
            return Wait::CLOSED;
        if (opened_) {
            opened_ = false;
            return Wait::OPENED;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            return Wait::TIMEOUT;
        pollfd p[3] = {{master_, POLLIN, 0}, {events_, POLLIN, 0}, {power_ ? power_->fd() : -1, POLLIN, 0}};
        const int ready = poll(p, 3, static_cast<int>(std::min<long long>(left, POLL_SLICE_MS)));
        if (ready > 0 && (p[2].revents & POLLIN))
            take_power_commands();
        if (ready > 0 && (p[0].revents & POLLIN)) {
            take_port_events();
            return closed_ ? Wait::CLOSED : Wait::DATA;
        }
    }
}

void PtyFrontEnd::take_power_commands()
{
    const bool was_on = power_->on();
    const unsigned long offs = power_->switched_off();
    power_->take_commands([this](const std::string& complaint) {
        if (report_) {
            SessionReport told;
            told.power_complaint = complaint;
            report_(told);
        }
    });
    // Off ends the session; on (again) starts the next one.
    if (power_->switched_off() != offs) {
        closed_ = true;
        output_open_ = false;
    }
    if (power_->on() && (!was_on || power_->switched_off() != offs))
        opened_ = true;
}

bool PtyFrontEnd::powered() const
{
    return power_ ? power_->on() : holders_ > 0;
}

std::string PtyFrontEnd::read_available()
{
    std::string data;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n <= 0)
            return data;
        // Each packet is the host's bytes behind a zero, or a status byte.
        if (buffer[0] == TIOCPKT_DATA)
            data.append(buffer + 1, static_cast<size_t>(n - 1));
        else if (buffer[0] & TIOCPKT_FLUSHREAD)
            host_purged_ = true;
    }
}

void PtyFrontEnd::discard_input()
{
    read_available();
}

bool PtyFrontEnd::pause(int ms, const std::atomic<bool>& stop)
{
    // A board that is not running yet hears nothing: what comes is dropped.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            return true;
        const Wait w = wait(static_cast<int>(left), stop);
        if (w == Wait::STOP || w == Wait::CLOSED)
            return false;
        if (w == Wait::DATA)
            discard_input();
    }
}

bool PtyFrontEnd::receive_image(const FrontEndOptions& options, const std::atomic<bool>& stop,
                                std::vector<uint8_t>* image)
{
    // A freshly powered board's receiver is empty: nothing sent before the
    // wake-up byte becomes part of the image.
    discard_input();
    // The loader drives the line at 115200 8N1 too: a host set up otherwise
    // reads its wake-up byte, and it reads the host's image, wrong.
    const LineSettings loader;
    const char wake = static_cast<char>(across_line(options.wake_byte, loader, line_of(slave_)));
    if (output_open_ && write(master_, &wake, 1) != 1)
        return false;
    host_purged_ = false;
    for (;;) {
        const Wait w = wait(options.silence_ms, stop);
        if (w == Wait::STOP || w == Wait::CLOSED)
            return false;
        if (w == Wait::TIMEOUT && !image->empty())
            return true;
        if (w != Wait::DATA)
            continue;
        const LineSettings host = line_of(slave_);
        for (char c : read_available())
            image->push_back(across_line(static_cast<uint8_t>(c), host, loader));
        // A host that purged its port late (a loaded machine) threw the
        // wake-up byte away: as for a board powered up after the purge, the
        // loader, which has had no byte of an image yet, wakes up again.
        if (host_purged_ && image->empty() && output_open_ && write(master_, &wake, 1) != 1)
            return false;
        host_purged_ = false;
        if (image->size() > BOOT_RAM_SIZE) {
            // Told at once; the board stays silent until the port is closed.
            if (report_) {
                SessionReport refused;
                refused.image_refused = true;
                report_(refused);
            }
            while (pause(POLL_SLICE_MS, stop)) {
            }
            return false;
        }
    }
}

BoardConfig PtyFrontEnd::session_config(FrontEndOptions& options)
{
    BoardConfig config;
    config.faults = options.faults.next_power_up();
    config.record_output = false;
    config.debugger = options.debugger;
    // The far end of the line is the host, as it has set up the terminal.
    const int slave = slave_;
    config.host_line = [slave] { return line_of(slave); };
    FILE* trace = options.trace;
    if (trace) {
        config.trace = [trace](const TraceRecord& r) {
            fprintf(trace, "%s\n", format_trace(r).c_str());
        };
    }
    config.on_undefined_access = [this, trace](const std::string& text) {
        if (trace)
            fprintf(trace, "undefined: %s\n", text.c_str());
        if (report_) {
            SessionReport undefined;
            undefined.undefined_access = text;
            report_(undefined);
        }
    };
    return config;
}

bool PtyFrontEnd::send_to_host(uint8_t byte)
{
    // Once the host has closed the port the board is as good as off.
    if (!output_open_)
        return true;
    // A UART without flow control never waits for its host: a byte that
    // the terminal cannot take within OUTPUT_GRACE_MS is lost. The grace
    // lets the kernel move a burst on to a host that does read.
    for (int tries = 0;; ++tries) {
        const ssize_t n = write(master_, &byte, 1);
        if (n == 1)
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        pollfd p = {master_, POLLOUT, 0};
        if (n < 0 && errno == EAGAIN && tries == 0 && poll(&p, 1, OUTPUT_GRACE_MS) > 0)
            continue;
        return false;
    }
}

void PtyFrontEnd::report_fault(const Board& board, const FrontEndOptions& options, size_t image_size)
{
    SessionReport fault;
    fault.board_fault = board.fault();
    // A person at a terminal typed into the loader: say what happened.
    if (options.image.empty() && image_size < TYPED_IMAGE_BYTES)
        fault.board_fault += " (the loader took " + std::to_string(image_size) + " byte" +
                             (image_size == 1 ? "" : "s") +
                             " as the boot image; korvasim --monitor boots the monitor for a terminal program)";
    report_(fault);
}

void PtyFrontEnd::serve(FrontEndOptions& options, const std::atomic<bool>& stop,
                        SessionReport* report)
{
    output_open_ = holders_ > 0;
    // The host purges the port right after opening it: wake up after that.
    if (!pause(options.power_up_ms, stop))
        return;
    std::vector<uint8_t> image = options.image;
    if (image.empty() && !receive_image(options, stop, &image))
        return;
    std::atomic<uint64_t> dropped{0};
    Board board(session_config(options));
    board.load_image(image);
    board.forward_output([this, &dropped](uint8_t byte) {
        if (!send_to_host(byte))
            ++dropped;
    });
    board.power_on();
    bool fault_told = false;
    for (;;) {
        const Wait w = wait(POLL_SLICE_MS, stop);
        if (w == Wait::STOP || w == Wait::CLOSED)
            break;
        if (w == Wait::DATA)
            board.send(read_available());
        // A debugger killed the board: off until the host opens the port again.
        if (board.killed())
            break;
        // A board that stopped is told about at once, not at the close.
        if (!fault_told && board.wait_halted(0) && report_) {
            report_fault(board, options, image.size());
            fault_told = true;
        }
    }
    board.power_off();
    report->dropped_bytes = dropped;
    if (options.trace) {
        if (report->dropped_bytes > 0)
            fprintf(options.trace, "dropped %llu bytes that the host did not read\n",
                    static_cast<unsigned long long>(report->dropped_bytes));
        fflush(options.trace);
    }
}

void PtyFrontEnd::reset_port()
{
    // As a real board's port is after the host closed it: nobody holds it
    // exclusively and the line is back to its defaults.
    ioctl(slave_, TIOCNXCL);
    tcsetattr(slave_, TCSANOW, &defaults_);
}

void PtyFrontEnd::discard_pending()
{
    // Neither the last session's board output nor what a host sent before
    // the board was powered reaches the new session.
    tcflush(slave_, TCIOFLUSH);
    discard_input();
}

void PtyFrontEnd::run(FrontEndOptions& options, const std::atomic<bool>& stop,
                      void (*report)(const SessionReport&))
{
    report_ = report;
    power_ = options.power;
    reset_port();
    for (;;) {
        // A host that opened and closed again before it was served had a
        // session too short to notice; the board simply stays off.
        while (!powered()) {
            closed_ = false;
            if (wait(POLL_SLICE_MS, stop) == Wait::STOP)
                return;
            discard_input();
        }
        closed_ = false;
        discard_pending();
        SessionReport session;
        serve(options, stop, &session);
        if (stop)
            return;
        // Whatever ended the session, the board is off until the next open.
        while (!closed_ && wait(POLL_SLICE_MS, stop) != Wait::STOP)
            discard_input();
        if (report && session.dropped_bytes > 0)
            report(session);
        if (options.once || stop)
            return;
    }
}

} // namespace korvasim
