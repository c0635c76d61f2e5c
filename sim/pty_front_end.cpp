#include "pty_front_end.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

#include "board.h"

namespace korvasim {

namespace {

const int POLL_SLICE_MS = 100;
const int HOST_CHECK_MS = 20;

void sleep_ms(int ms)
{
    usleep(static_cast<useconds_t>(ms) * 1000);
}

} // namespace

PtyFrontEnd::PtyFrontEnd()
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        throw std::runtime_error(std::string("cannot create a pseudo-terminal: ") + strerror(errno));
    slave_path_ = ptsname(master_);
    // Raw before anybody sees the name: settings made on the master side
    // are the slave's.
    termios raw;
    tcgetattr(master_, &raw);
    cfmakeraw(&raw);
    cfsetispeed(&raw, B115200);
    cfsetospeed(&raw, B115200);
    tcsetattr(master_, TCSANOW, &raw);
    // Until the slave has been opened once the master reports no hang-up.
    const int slave = open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0)
        throw std::runtime_error("cannot open " + slave_path_ + ": " + strerror(errno));
    close(slave);
}

PtyFrontEnd::~PtyFrontEnd()
{
    close(master_);
}

PtyFrontEnd::Wait PtyFrontEnd::wait_input(int timeout_ms, const std::atomic<bool>& stop)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (stop)
            return Wait::STOP;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            return Wait::TIMEOUT;
        pollfd p = {master_, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(std::min<long long>(left, POLL_SLICE_MS)));
        if (ready > 0 && (p.revents & POLLIN))
            return Wait::DATA;
        if (ready > 0)
            return Wait::HANG_UP;
    }
}

std::string PtyFrontEnd::read_available()
{
    char buffer[4096];
    const ssize_t n = read(master_, buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

bool PtyFrontEnd::wait_for_host(const std::atomic<bool>& stop)
{
    // No host: the master reports a hang-up at once, so look now and then.
    while (!stop) {
        pollfd p = {master_, POLLIN, 0};
        if (poll(&p, 1, 0) >= 0 && !(p.revents & POLLHUP))
            return true;
        sleep_ms(HOST_CHECK_MS);
    }
    return false;
}

bool PtyFrontEnd::pause(int ms, const std::atomic<bool>& stop)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (stop)
            return false;
        pollfd p = {master_, 0, 0};
        if (poll(&p, 1, 0) > 0 && (p.revents & POLLHUP))
            return false;
        sleep_ms(std::min(HOST_CHECK_MS, ms));
    }
    return true;
}

void PtyFrontEnd::drain_until_hang_up(const std::atomic<bool>& stop)
{
    for (;;) {
        const Wait w = wait_input(POLL_SLICE_MS, stop);
        if (w == Wait::HANG_UP || w == Wait::STOP)
            return;
        if (w == Wait::DATA && read_available().empty())
            return;
    }
}

bool PtyFrontEnd::receive_image(const FrontEndOptions& options, const std::atomic<bool>& stop,
                                std::vector<uint8_t>* image)
{
    const char wake = static_cast<char>(options.wake_byte);
    if (write(master_, &wake, 1) != 1)
        return false;
    for (;;) {
        const Wait w = wait_input(options.silence_ms, stop);
        if (w == Wait::STOP || w == Wait::HANG_UP)
            return false;
        if (w == Wait::TIMEOUT) {
            if (!image->empty())
                return true;
            continue;
        }
        const std::string bytes = read_available();
        if (bytes.empty())
            return false;
        image->insert(image->end(), bytes.begin(), bytes.end());
        if (image->size() > BOOT_RAM_SIZE) {
            fprintf(stderr, "korvasim: image refused: more than the %u bytes of boot RAM; "
                            "the board stays silent until the port is closed\n",
                    BOOT_RAM_SIZE);
            drain_until_hang_up(stop);
            return false;
        }
    }
}

void PtyFrontEnd::serve(const FrontEndOptions& options, const std::atomic<bool>& stop)
{
    // The host purges the port right after opening it: wake up after that.
    if (!pause(options.power_up_ms, stop))
        return;
    std::vector<uint8_t> image = options.image;
    if (image.empty() && !receive_image(options, stop, &image))
        return;

    BoardConfig config;
    config.faults = options.faults;
    if (options.trace) {
        FILE* trace = options.trace;
        config.trace = [trace](const TraceRecord& r) {
            fprintf(trace, "%s\n", format_trace(r).c_str());
        };
    }
    Board board(config);
    board.load_image(image);
    const int master = master_;
    board.forward_output([master](uint8_t byte) {
        // A host that went away just loses the byte.
        while (write(master, &byte, 1) < 0 && errno == EINTR) {
        }
    });
    board.power_on();
    bool reported = false;
    for (;;) {
        const Wait w = wait_input(POLL_SLICE_MS, stop);
        if (w == Wait::STOP || w == Wait::HANG_UP)
            break;
        if (w == Wait::DATA) {
            const std::string bytes = read_available();
            if (bytes.empty())
                break;
            board.send(bytes);
        }
        if (!reported && board.wait_halted(0)) {
            fprintf(stderr, "korvasim: the board stopped: %s\n", board.fault().c_str());
            reported = true;
        }
    }
    board.power_off();
    if (options.trace)
        fflush(options.trace);
}

void PtyFrontEnd::run(const FrontEndOptions& options, const std::atomic<bool>& stop)
{
    while (wait_for_host(stop)) {
        serve(options, stop);
        // Let the host's close finish before looking for the next open.
        while (!stop) {
            pollfd p = {master_, POLLIN, 0};
            if (poll(&p, 1, 0) > 0 && (p.revents & POLLHUP))
                break;
            if (p.revents & POLLIN)
                read_available();
            sleep_ms(HOST_CHECK_MS);
        }
        if (options.once)
            return;
    }
}

} // namespace korvasim
