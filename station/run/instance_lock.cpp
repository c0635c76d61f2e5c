#include "station/run/instance_lock.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "link/port_holders.h"

namespace korvastation {

using korvasim::Result;

namespace {

// Where the locks of things beyond a station's own folder live: the
// machine's lock folder, which every user may write.
std::string lock_dir()
{
    return access("/run/lock", W_OK) == 0 ? "/run/lock" : "/tmp";
}

} // namespace

InstanceLocks::~InstanceLocks()
{
    for (int fd : held_)
        close(fd);
}

std::string real_name_of(const std::string& name)
{
    char real[PATH_MAX];
    return name.find("://") == std::string::npos && realpath(name.c_str(), real) ? std::string(real) : name;
}

std::string InstanceLocks::lock_path_of(const std::string& kind, const std::string& name)
{
    std::string escaped;
    for (unsigned char c : real_name_of(name))
        escaped += isalnum(c) || c == '.' || c == '-' ? static_cast<char>(c) : '_';
    return lock_dir() + "/korvastation-" + kind + "-" + escaped + ".lock";
}

Result InstanceLocks::take(const std::string& path, const std::string& what)
{
    // Read-only where another user made the file: a lock needs no writing.
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return Result::failure("cannot lock " + what + " (" + path + "): " + strerror(errno));
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        held_.push_back(fd);
        return Result::ok();
    }
    const int e = errno;
    const long holder = e == EWOULDBLOCK ? flock_holder(fd) : 0;
    close(fd);
    if (e != EWOULDBLOCK)
        return Result::failure("cannot lock " + what + " (" + path + "): " + strerror(e));
    std::string who = holder ? "process " + std::to_string(holder) : "another process";
    const std::string name = holder ? process_name(holder) : "";
    if (!name.empty())
        who += ", " + name;
    return Result::failure(what + " is held by another station (" + who + "): one station for it at a time");
}

} // namespace korvastation
