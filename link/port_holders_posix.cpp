#include "link/port_holders.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// The UUCP lock file this process made, removed again at exit.
std::string lock_path;

const char LOCK_DIR[] = "/var/lock";

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

} // namespace

void remove_lock_file()
{
    if (!lock_path.empty())
        unlink(lock_path.c_str());
    lock_path.clear();
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