#include "sim/support/read_limited.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvasim {

Result read_limited(const char* what, const std::string& path, size_t limit, std::string* text)
{
    const std::string failed = std::string("cannot read ") + what + " " + path + ": ";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        const Result result = Result::failure(failed + strerror(errno));
        if (fd >= 0)
            close(fd);
        return result;
    }
    if (S_ISDIR(st.st_mode)) {
        close(fd);
        return Result::failure(failed + strerror(EISDIR));
    }
    text->clear();
    char buffer[65536];
    while (text->size() <= limit) {
        const ssize_t n = read(fd, buffer, std::min(sizeof buffer, limit + 1 - text->size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const Result result = Result::failure(failed + strerror(errno));
            close(fd);
            return result;
        }
        if (n == 0)
            break;
        text->append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return Result::ok();
}

} // namespace korvasim
