#include "sim/program/pty_link.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace korvasim {

namespace {

// A path as an absolute name, its directory resolved against dir (and
// symbolic links in it), its last component kept: the link itself.
std::string link_name(const std::string& path, const std::string& dir)
{
    const std::string full = path[0] == '/' ? path : dir + "/" + path;
    const size_t slash = full.rfind('/');
    char real[PATH_MAX];
    const std::string parent = slash == 0 ? "/" : full.substr(0, slash);
    std::string resolved = realpath(parent.c_str(), real) ? real : parent;
    if (resolved.back() == '/')
        resolved.pop_back();
    return resolved + full.substr(slash);
}

// Whether process pid is a korvasim that made link: its --link argument
// names the same file.
bool made_link(const std::string& proc, const std::string& link)
{
    char cwd[PATH_MAX] = {};
    if (readlink((proc + "/cwd").c_str(), cwd, sizeof cwd - 1) <= 0)
        return true;  // cannot tell: take it as the link's maker
    std::ifstream in(proc + "/cmdline", std::ios::binary);
    std::vector<std::string> args;
    for (std::string arg; std::getline(in, arg, '\0');)
        args.push_back(arg);
    for (size_t i = 0; i < args.size(); ++i) {
        std::string value;
        if (args[i] == "--link" && i + 1 < args.size())
            value = args[i + 1];
        else if (args[i].rfind("--link=", 0) == 0)
            value = args[i].substr(7);
        if (!value.empty() && link_name(value, cwd) == link)
            return true;
    }
    return false;
}

// The running korvasim (other than this one) that holds the master side of
// /dev/pts/N and made link, or 0. A pty number is reused as soon as it is
// free, so another simulator on the same pty does not own the link.
pid_t simulator_owning(const std::string& pts, const std::string& link)
{
    const std::string index = pts.substr(pts.rfind('/') + 1);
    DIR* proc = opendir("/proc");
    if (!proc)
        return 0;
    pid_t owner = 0;
    while (dirent* entry = readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(atoi(entry->d_name));
        if (pid <= 0 || pid == getpid() || owner)
            continue;
        const std::string base = std::string("/proc/") + entry->d_name;
        std::string comm;
        if (!std::getline(std::ifstream(base + "/comm"), comm) || comm != "korvasim")
            continue;
        DIR* fds = opendir((base + "/fd").c_str());
        if (!fds)
            continue;
        bool holds = false;
        while (dirent* fd = readdir(fds)) {
            char target[64] = {};
            const std::string path = base + "/fd/" + fd->d_name;
            if (readlink(path.c_str(), target, sizeof target - 1) <= 0 ||
                std::string(target).find("ptmx") == std::string::npos)
                continue;
            std::ifstream info(base + "/fdinfo/" + fd->d_name);
            for (std::string line; std::getline(info, line);)
                holds = holds || (line.rfind("tty-index:", 0) == 0 &&
                                  std::to_string(atoi(line.c_str() + 10)) == index);
        }
        closedir(fds);
        if (holds && made_link(base, link))
            owner = pid;
    }
    closedir(proc);
    return owner;
}

} // namespace

Result make_link(const std::string& link, const std::string& pty)
{
    const std::string refused = "cannot use --link " + link + ": ";
    struct stat st;
    if (lstat(link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode))
            return Result::failure(refused + "it exists and is not a symbolic link");
        char buffer[PATH_MAX] = {};
        const ssize_t n = readlink(link.c_str(), buffer, sizeof buffer - 1);
        const std::string target(buffer, n > 0 ? static_cast<size_t>(n) : 0);
        struct stat dest;
        const bool dangling = stat(link.c_str(), &dest) != 0;
        if (!dangling && target.rfind("/dev/pts/", 0) != 0)
            return Result::failure(refused + "it leads to " + target + ", not to a simulated board");
        if (!dangling) {
            char cwd[PATH_MAX] = {};
            const std::string here = getcwd(cwd, sizeof cwd) ? cwd : ".";
            if (const pid_t pid = simulator_owning(target, link_name(link, here)))
                return Result::failure(refused + "it leads to the port of korvasim (PID " +
                                       std::to_string(pid) + "), which is still running");
        }
        unlink(link.c_str());
    }
    if (symlink(pty.c_str(), link.c_str()) != 0)
        return Result::failure("cannot create link " + link + ": " + strerror(errno));
    return Result::ok();
}

void remove_link(const std::string& link, const std::string& pty)
{
    char buffer[PATH_MAX] = {};
    if (readlink(link.c_str(), buffer, sizeof buffer - 1) > 0 && pty == buffer)
        unlink(link.c_str());
}

} // namespace korvasim
