// POSIX serial port: a terminal device opened exclusively, raw 115200 8N1.
#include "link/serial_port.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include "host/output.h"
#include "link/network_port.h"

namespace {

int serial_handle = -1;
bool network = false;  // the port is rfc2217://...
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

bool process_runs(long pid)
{
    return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

std::string proc_path(long pid, const char* what)
{
    return "/proc/" + std::to_string(pid) + "/" + what;
}

// Whether a descriptor of process pid is the master of pseudo-terminal
// number index: that process is the line's other end (a simulated board),
// not a program competing for it.
bool holds_master_of(long pid, const std::string& fd_name, long index)
{
    FILE* info = fopen((proc_path(pid, "fdinfo/") + fd_name).c_str(), "re");
    if (!info)
        return false;
    char line[128];
    long found = -1;
    while (found < 0 && fgets(line, sizeof line, info))
        if (sscanf(line, "tty-index: %ld", &found) != 1)
            found = -1;
    fclose(info);
    return found == index;
}

// What process pid holds: a descriptor on the device, the master of its
// pseudo-terminal (then it is the line's other end, a simulated board).
// Unknown where this user may not look at its descriptors.
struct Holding {
    bool known = true;
    bool device = false;
    bool master = false;
};

Holding holding_of(long pid, dev_t device, long pty_index)
{
    Holding holding;
    DIR* fds = opendir(proc_path(pid, "fd").c_str());
    if (!fds) {
        holding.known = errno == ENOENT;
        return holding;
    }
    const dev_t multiplexer = makedev(5, 2);
    while (const dirent* entry = readdir(fds)) {
        struct stat st;
        if (entry->d_name[0] == '.' || stat((proc_path(pid, "fd/") + entry->d_name).c_str(), &st) != 0 ||
            !S_ISCHR(st.st_mode))
            continue;
        holding.device = holding.device || st.st_rdev == device;
        holding.master = holding.master || (pty_index >= 0 && st.st_rdev == multiplexer &&
                                            holds_master_of(pid, entry->d_name, pty_index));
    }
    closedir(fds);
    return holding;
}

// A pseudo-terminal slave's number, or -1 for any other device.
long pty_index_of(dev_t device)
{
    return major(device) >= 136 && major(device) <= 143
               ? static_cast<long>((major(device) - 136) * 256 + minor(device))
               : -1;
}

// Another process with the device open, found as fuser does through /proc:
// programs such as minicom or screen take no lock, and root passes the
// exclusive flag. Only processes this user may look at are seen.
long other_holder(dev_t device)
{
    DIR* proc = opendir("/proc");
    if (!proc)
        return 0;
    const long self = getpid();
    const long index = pty_index_of(device);
    long holder = 0;
    while (const dirent* entry = readdir(proc)) {
        char* end;
        const long pid = strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == self)
            continue;
        const Holding holding = holding_of(pid, device, index);
        if (holding.device && !holding.master) {
            holder = pid;
            break;
        }
    }
    closedir(proc);
    return holder;
}

std::string process_name(long pid)
{
    char name[64] = {};
    if (FILE* comm = fopen(proc_path(pid, "comm").c_str(), "re")) {
        if (!fgets(name, sizeof name, comm))
            name[0] = '\0';
        fclose(comm);
    }
    name[strcspn(name, "\n")] = '\0';
    return name;
}

int held_by(long pid)
{
    std::string reason = "in use by process " + std::to_string(pid);
    const std::string name = process_name(pid);
    if (!name.empty())
        reason += ", " + name;
    return open_failed(reason.c_str());
}

// The controlling terminal's device number, from /proc/self/stat; 0 if none.
dev_t controlling_terminal()
{
    FILE* stat_file = fopen("/proc/self/stat", "re");
    if (!stat_file)
        return 0;
    char text[1024] = {};
    const size_t n = fread(text, 1, sizeof text - 1, stat_file);
    fclose(stat_file);
    text[n] = '\0';
    // The command name may hold blanks and parentheses: read after the last ')'.
    const char* after = strrchr(text, ')');
    int tty = 0;
    if (!after || sscanf(after + 1, " %*c %*d %*d %*d %d", &tty) != 1 || tty == 0)
        return 0;
    const unsigned u = static_cast<unsigned>(tty);
    return makedev((u >> 8) & 0xfff, (u & 0xff) | ((u >> 12) & 0xfff00));
}

// Why a terminal is no board's port: the user's own terminal (set raw and
// sent the image, it would be lost to the user), or the multiplexer that
// makes a new pseudo-terminal at every open. Null for any other device.
const char* not_a_board_port(dev_t device)
{
    if (device == makedev(5, 2))
        return "it makes a new pseudo-terminal, not a board's port";
    const char* own = "it is this program's own terminal, not a board's port";
    if (device == makedev(5, 0) || device == makedev(5, 1) || device == controlling_terminal())
        return own;
    for (int fd = 0; fd <= 2; ++fd) {
        struct stat st;
        if (isatty(fd) && fstat(fd, &st) == 0 && st.st_rdev == device)
            return own;
    }
    return nullptr;
}

// The UUCP convention that minicom, screen and the like follow: a file
// /var/lock/LCK..NAME holding the owner's process ID. Returns the PID of a
// running holder, or 0 once this process holds the lock (or where the lock
// directory cannot be written, as for many users: the flock still guards).
long take_uucp_lock(const char* real_device, dev_t device)
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
        // A lock whose process is gone, or whose PID now belongs to a
        // process without the device open (a lock left by CTRL-C), is stale.
        if (process_runs(pid) && pid != getpid()) {
            const Holding holding = holding_of(pid, device, pty_index_of(device));
            if (holding.device || !holding.known)
                return pid;
        }
        unlink(path.c_str());
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
