// POSIX serial port: a terminal device opened exclusively, raw 115200 8N1.
#include "serial_port.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

int serial_handle = -1;
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

int open_failed(int error)
{
    fprintf(stderr, "Could not open serial port %s (%s).\n", port_name, strerror(error));
    if (serial_handle >= 0)
        close(serial_handle);
    serial_handle = -1;
    return 0;
}

} // namespace

bool serial_is_device_name(const char* argument)
{
    return strchr(argument, '/') != nullptr;
}

int serial_open(int port)
{
    // COM1 is the first serial port, /dev/ttyS0.
    char device[32];
    snprintf(device, sizeof device, "/dev/ttyS%d", port - 1);
    return serial_open_device(device);
}

int serial_open_device(const char* device)
{
    snprintf(port_name, sizeof port_name, "%s", device);
    serial_handle = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (serial_handle < 0)
        return open_failed(errno);
    if (!isatty(serial_handle))
        return open_failed(ENOTTY);
    // Another program on the same port would steal the board's bytes.
    if (flock(serial_handle, LOCK_EX | LOCK_NB) != 0)
        return open_failed(errno == EWOULDBLOCK ? EBUSY : errno);
    if (ioctl(serial_handle, TIOCEXCL) != 0)
        return open_failed(errno);
    int flags = fcntl(serial_handle, F_GETFL);
    if (flags < 0 || fcntl(serial_handle, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return open_failed(errno);
    return 1;
}

int serial_configure(int baud)
{
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
    for (;;) {
        ssize_t n = write(serial_handle, &byte, 1);
        if (n == 1)
            return;
        if (n < 0 && errno == EINTR)
            continue;
        serial_lost(n < 0 ? strerror(errno) : "write failed");
    }
}

signed char serial_get(int timeout_ms, int* error)
{
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
    if (serial_handle >= 0)
        close(serial_handle);
    serial_handle = -1;
}

void serial_sleep(int milliseconds)
{
    timespec rest = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

void serial_lost(const char* reason)
{
    fprintf(stderr, "Lost serial port %s (%s).\n", port_name, reason);
    // exit() flushes and closes the log with every other stream.
    exit(1);
}
