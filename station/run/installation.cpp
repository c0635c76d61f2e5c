#include "station/run/installation.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace korvastation {

bool make_dirs(const std::string& path)
{
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST)
            return false;
        if (slash == std::string::npos)
            break;
    }
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

korvasim::Result replace_file(const std::string& path, const std::string& text, const std::string& what)
{
    const std::string next = path + ".new";
    {
        std::ofstream out(next, std::ios::trunc);
        out << text;
        out.flush();
        if (!out) {
            const int error = errno;
            std::remove(next.c_str());
            return korvasim::Result::failure("cannot write " + what + " " + next + ": " + strerror(error));
        }
    }
    if (std::rename(next.c_str(), path.c_str()) != 0)
        return korvasim::Result::failure("cannot write " + what + " " + path + ": " + strerror(errno));
    return korvasim::Result::ok();
}

std::string default_log_dir()
{
    const time_t now = time(nullptr);
    tm local;
    localtime_r(&now, &local);
    char name[64];
    strftime(name, sizeof name, "station-%Y%m%d-%H%M%S", &local);
    return name;
}

korvasim::Result find_dudedoved(std::string* found)
{
    std::vector<std::string> places;
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        const std::string path(self, static_cast<size_t>(n));
        places.push_back(path.substr(0, path.rfind('/') + 1) + "dudedoved");
    }
    const char* search = getenv("PATH");
    const std::string path_list = search ? search : "";
    for (size_t start = 0; start <= path_list.size();) {
        const size_t colon = std::min(path_list.find(':', start), path_list.size());
        const std::string dir = path_list.substr(start, colon - start);
        places.push_back((dir.empty() ? "." : dir) + "/dudedoved");
        start = colon + 1;
    }
    for (const std::string& place : places)
        if (access(place.c_str(), X_OK) == 0) {
            *found = place;
            return korvasim::Result::ok();
        }
    std::string looked;
    for (const std::string& place : places)
        looked += (looked.empty() ? "" : ", ") + place;
    return korvasim::Result::failure("cannot find dudedoved (looked at " + looked +
                                     "); name it with --dudedoved PATH");
}

std::string host_name()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "station";
    return name;
}

} // namespace korvastation
