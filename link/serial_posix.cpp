// POSIX serial port: a terminal device opened exclusively, raw 115200 8N1.
#include "link/serial_port.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "host/output.h"
#include "link/network_port.h"
#include "link/port_holders.h"

namespace {

int serial_handle = -1;
bool network = false;  // the port is rfc2217://...
char port_name[256];

speed_t baud_constant(int baud)
{
    switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B0;
    }
}


int open_failed(const char* reason)
{
    fprintf(stderr, "Could not open serial port %s (%s).\n", port_name, reason);
    if (serial_handle >= 0)
        close(serial_handle);
    serial_handle = -1;
    remove_lock_file();
    return 0;
}


int held_by(long pid)
{
    std::string reason = "in use by process " + std::to_string(pid);
    const std::string name = process_name(pid);
    if (!name.empty())
        reason += ", " + name;
    return open_failed(reason.c_str());
}


} // namespace

void serial_reserve_standard_streams()
{
    // Every lower descriptor is open by the time fd is looked at, so open()
    // returns fd itself.
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDWR) < 0)
            return;
}

bool serial_is_device_name(const char* argument)
{
    // A path, or a bare name such as ttyUSB0 for /dev/ttyUSB0; a decimal
    // number stays a port number, and so does a word that names nothing
    // (atoi reads it, as ever: "2x" is port 2).
    if (strchr(argument, '/'))
        return true;
    const size_t sign = argument[0] == '-' || argument[0] == '+';
    if (argument[sign] != '\0' && strspn(argument + sign, "0123456789") == strlen(argument + sign))
        return false;
    struct stat st;
    if (stat(argument, &st) == 0)
        return true;  // a path in the current folder, such as korvasim's --link
    if (atoi(argument) != 0 || argument[0] == '\0')
        return false;
    const std::string device = std::string("/dev/") + argument;
    return strncmp(argument, "tty", 3) == 0 ||
           (stat(device.c_str(), &st) == 0 && S_ISCHR(st.st_mode));
}

int serial_open(int port)
{
    // COM1 is the first serial port, /dev/ttyS0.
    if (port < 1) {
        snprintf(port_name, sizeof port_name, "COM%d", port);
        return open_failed("ports are numbered from 1");
    }
    char device[32];
    snprintf(device, sizeof device, "/dev/ttyS%d", port - 1);
    return serial_open_device(device);
}

int serial_open_device(const char* device)
{
    network = network_port_named(device);
    if (network) {
        snprintf(port_name, sizeof port_name, "%s", device);
        std::string why;
        return network_open(device, &why) ? 1 : open_failed(why.c_str());
    }
    struct stat st;
    if (strchr(device, '/') || stat(device, &st) == 0)
        snprintf(port_name, sizeof port_name, "%s", device);
    else
        snprintf(port_name, sizeof port_name, "/dev/%s", device);
    serial_handle = open(port_name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (serial_handle < 0)
        return open_failed(strerror(errno));
    if (!isatty(serial_handle) || fstat(serial_handle, &st) != 0)
        return open_failed(strerror(ENOTTY));
    if (const char* why = not_a_board_port(st.st_rdev))
        return open_failed(why);
    // Another program on the same port would steal the board's bytes, and
    // most do not take the exclusive flag: honour both locks they may use.
    char real[PATH_MAX];
    if (const long pid = take_uucp_lock(realpath(port_name, real) ? real : port_name, st.st_rdev))
        return held_by(pid);
    if (flock(serial_handle, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK)
            return open_failed(strerror(errno));
        const long pid = flock_holder(serial_handle);
        return pid ? held_by(pid) : open_failed(strerror(EBUSY));
    }
    if (const long pid = other_holder(st.st_rdev))
        return held_by(pid);
    if (ioctl(serial_handle, TIOCEXCL) != 0)
        return open_failed(strerror(errno));
    int flags = fcntl(serial_handle, F_GETFL);
    if (flags < 0 || fcntl(serial_handle, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return open_failed(strerror(errno));
    return 1;
}

int serial_configure(int baud)
{
    if (network) {
        std::string why;
        if (network_configure(baud, &why))
            return 1;
        fprintf(stderr, "Could not configure serial port %s (%s).\n", port_name, why.c_str());
        return 0;
    }
    termios line;
    memset(&line, 0, sizeof line);
    line.c_iflag = 0;   // no parity check, no CR/NL mapping, no IXON/IXOFF/IXANY
    line.c_oflag = 0;   // no output processing
    line.c_cflag = CS8 | CLOCAL | CREAD;    // 8N1, no CRTSCTS
    line.c_lflag = 0;   // no echo, no canonical mode, no signals
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;
    const speed_t speed = baud_constant(baud);
    const char* failed = nullptr;
    if (speed == B0 || cfsetispeed(&line, speed) != 0 || cfsetospeed(&line, speed) != 0)
        failed = "unsupported baud rate";
    else if (tcflush(serial_handle, TCIOFLUSH) != 0 ||
             tcsetattr(serial_handle, TCSANOW, &line) != 0)
        failed = strerror(errno);
    else {
        // A pseudo-terminal has no modem lines and says so.
        int lines = TIOCM_DTR | TIOCM_RTS;
        if (ioctl(serial_handle, TIOCMBIC, &lines) != 0 && errno != ENOTTY && errno != EINVAL)
            failed = strerror(errno);
    }
    if (failed) {
        fprintf(stderr, "Could not configure serial port %s (%s).\n", port_name, failed);
        return 0;
    }
    return 1;
}

void serial_put(char byte)
{
    if (network) {
        network_put(byte);
        return;
    }
    for (;;) {
        ssize_t n = write(serial_handle, &byte, 1);
        if (n == 1)
            return;
        if (n < 0 && errno == EINTR)
            continue;
        serial_lost(n < 0 ? strerror(errno) : "write failed");
    }
}

void serial_put_all(const char* bytes, unsigned count)
{
    if (network) {
        network_put_all(bytes, count);
        return;
    }
    for (unsigned sent = 0; sent < count;) {
        const ssize_t n = write(serial_handle, bytes + sent, count - sent);
        if (n > 0)
            sent += static_cast<unsigned>(n);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            serial_lost(n < 0 ? strerror(errno) : "write failed");
    }
}

int serial_unsent()
{
    // A network port's line is on another machine.
    if (network)
        return -1;
    // A port that went away while its bytes were queued is told now, as a
    // write to it would have been.
    pollfd port = {serial_handle, 0, 0};
    if (poll(&port, 1, 0) == 1 && (port.revents & (POLLHUP | POLLERR)))
        serial_lost(strerror(EIO));
    int unsent = 0;
    if (ioctl(serial_handle, TIOCOUTQ, &unsent) != 0)
        return -1;
    return unsent;
}

signed char serial_get(int timeout_ms, int* error)
{
    if (network)
        return network_get(timeout_ms, error);
    if (error)
        *error = 0;
    if (timeout_ms > 0) {
        pollfd p = {serial_handle, POLLIN, 0};
        int ready;
        do {
            ready = poll(&p, 1, timeout_ms);
        } while (ready < 0 && errno == EINTR);
        if (ready == 0) {
            if (error)
                *error = 1;
            return 0;
        }
        if (ready < 0) {
            if (error) {
                *error = 1;
                return 0;
            }
            serial_lost(strerror(errno));
        }
    }
    for (;;) {
        unsigned char byte;
        ssize_t n = read(serial_handle, &byte, 1);
        if (n == 1)
            return static_cast<signed char>(byte);
        if (n < 0 && errno == EINTR)
            continue;
        if (error) {
            *error = 1;
            return 0;
        }
        // End of file is a hang-up: the device or its other end went away.
        serial_lost(n < 0 ? strerror(errno) : "hang-up");
    }
}

void serial_close()
{
    if (network)
        network_close();
    if (serial_handle >= 0)
        close(serial_handle);
    serial_handle = -1;
    remove_lock_file();
}

int serial_latency_ms()
{
    return network ? network_round_trip_ms() : 0;
}

void serial_sleep(int milliseconds)
{
    // What was queued for a network port goes out before the pause, as a
    // local port's bytes would.
    if (network)
        network_flush();
    timespec rest = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

void serial_lost(const char* reason)
{
    console_end_line();
    fprintf(stderr, "Lost serial port %s (%s).\n", port_name, reason);
    // exit() flushes and closes the log with every other stream.
    exit(1);
}
