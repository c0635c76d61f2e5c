// POSIX serial port: a terminal device opened exclusively, raw 115200 8N1.
#include "serial_port.h"

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
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include "output.h"

namespace {

int serial_handle = -1;
char port_name[256];
// The UUCP lock file this process made, removed again at exit.
std::string lock_path;

const char LOCK_DIR[] = "/var/lock";

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

void remove_lock_file()
{
    if (!lock_path.empty())
        unlink(lock_path.c_str());
    lock_path.clear();
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
    char reason[64];
    snprintf(reason, sizeof reason, "in use by process %ld", pid);
    return open_failed(reason);
}

bool process_runs(long pid)
{
    return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

// The UUCP convention that minicom, screen and the like follow: a file
// /var/lock/LCK..NAME holding the owner's process ID. Returns the PID of a
// running holder, or 0 once this process holds the lock (or where the lock
// directory cannot be written, as for many users: the flock still guards).
long take_uucp_lock(const char* real_device)
{
    std::string name = real_device;
    if (name.rfind("/dev/", 0) == 0)
        name = name.substr(5);
    for (char& c : name)
        if (c == '/')
            c = '_';
    const std::string path = std::string(LOCK_DIR) + "/LCK.." + name;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            char text[16];
            const int n = snprintf(text, sizeof text, "%10ld\n", static_cast<long>(getpid()));
            const bool written = write(fd, text, static_cast<size_t>(n)) == n;
            close(fd);
            if (!written) {
                unlink(path.c_str());
                return 0;
            }
            lock_path = path;
            static bool registered = false;
            if (!registered)
                registered = atexit(remove_lock_file) == 0;
            return 0;
        }
        if (errno != EEXIST)
            return 0;
        char text[32] = {};
        const int lock = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (lock >= 0) {
            if (read(lock, text, sizeof text - 1) < 0)
                text[0] = '\0';
            close(lock);
        }
        const long pid = atol(text);
        if (process_runs(pid) && pid != getpid())
            return pid;
        unlink(path.c_str());  // stale: its owner is gone
    }
    return 0;
}

// The process holding an flock on the device, from /proc/locks; 0 if unknown.
long flock_holder(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return 0;
    FILE* locks = fopen("/proc/locks", "re");
    if (!locks)
        return 0;
    char id[64];
    snprintf(id, sizeof id, "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev),
             static_cast<unsigned long>(st.st_ino));
    char line[256];
    long holder = 0;
    while (!holder && fgets(line, sizeof line, locks)) {
        char kind[16], device[64];
        long pid;
        if (sscanf(line, "%*s %15s %*s %*s %ld %63s", kind, &pid, device) == 3 &&
            strcmp(kind, "FLOCK") == 0 && strcmp(device, id) == 0)
            holder = pid;
    }
    fclose(locks);
    return holder;
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
    // A path, or a bare name such as ttyUSB0 for /dev/ttyUSB0; a number
    // (even one atoi reads as 0) stays a port number.
    if (strchr(argument, '/'))
        return true;
    if (atoi(argument) != 0 || argument[0] == '\0')
        return false;
    struct stat st;
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
    if (strchr(device, '/'))
        snprintf(port_name, sizeof port_name, "%s", device);
    else
        snprintf(port_name, sizeof port_name, "/dev/%s", device);
    serial_handle = open(port_name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (serial_handle < 0)
        return open_failed(strerror(errno));
    if (!isatty(serial_handle))
        return open_failed(strerror(ENOTTY));
    // Another program on the same port would steal the board's bytes, and
    // most do not take the exclusive flag: honour both locks they may use.
    char real[PATH_MAX];
    if (const long pid = take_uucp_lock(realpath(port_name, real) ? real : port_name))
        return held_by(pid);
    if (flock(serial_handle, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK)
            return open_failed(strerror(errno));
        const long pid = flock_holder(serial_handle);
        return pid ? held_by(pid) : open_failed(strerror(EBUSY));
    }
    if (ioctl(serial_handle, TIOCEXCL) != 0)
        return open_failed(strerror(errno));
    int flags = fcntl(serial_handle, F_GETFL);
    if (flags < 0 || fcntl(serial_handle, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return open_failed(strerror(errno));
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
    if (serial_handle >= 0)
        close(serial_handle);
    serial_handle = -1;
    remove_lock_file();
}

void serial_sleep(int milliseconds)
{
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
