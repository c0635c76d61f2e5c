// Soak client for korvasim: drives the board monitor over its pty with
// quiet commands as fast as it answers, and reports the rate.
//   soak_client PORT COUNT
// Nine in ten commands are bytes the monitor does not know (answered at once
// with ":0"), every tenth a FLASH test; each must be answered ":0?".
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

bool read_exact(int fd, const char* expected)
{
    for (const char* e = expected; *e; ++e) {
        pollfd p = {fd, POLLIN, 0};
        char c;
        if (poll(&p, 1, 10000) != 1 || read(fd, &c, 1) != 1 || c != *e)
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: soak_client PORT COUNT\n");
        return 2;
    }
    const long count = atol(argv[2]);
    const int fd = open(argv[1], O_RDWR | O_NOCTTY);
    termios raw;
    if (fd < 0 || tcgetattr(fd, &raw) != 0)
        return 2;
    cfmakeraw(&raw);
    tcsetattr(fd, TCSANOW, &raw);
    if (!read_exact(fd, "?")) {
        fprintf(stderr, "soak: no prompt\n");
        return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < count; ++i) {
        const char command = i % 10 == 9 ? '2' : 'x';
        if (write(fd, &command, 1) != 1 || !read_exact(fd, ":0?")) {
            fprintf(stderr, "soak: command %ld (%c) not answered\n", i, command);
            return 1;
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("%ld commands in %.1f s (%.0f per second)\n", count, seconds, count / seconds);
    close(fd);
    return 0;
}
