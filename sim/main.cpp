// korvasim: the Korva board on a pseudo-terminal, for dudedoved or any
// terminal program to talk to.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <getopt.h>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "board.h"
#include "pty_front_end.h"

namespace {

std::atomic<bool> stop_requested{false};

void on_signal(int)
{
    stop_requested = true;
}

const char USAGE[] =
    "Usage: korvasim [--link PATH] [--fault SPEC]... [--wake-byte N] [--once]\n"
    "                [--image FILE] [--trace FILE]\n"
    "\n"
    "Simulates a Korva board on a pseudo-terminal and prints the terminal's path.\n"
    "\n"
    "  --link PATH     Also make PATH a symbolic link to the terminal.\n"
    "  --fault SPEC    Inject a board fault; repeatable. SPEC is one of\n"
    "                  sram.dN=0|1, sram.dN-dM, sram.aN=0|1, sram.aN-aM, sram.absent,\n"
    "                  the same for sdram, flash.qK.F=VALUE or flash.busy.\n"
    "  --wake-byte N   The loader's wake-up byte (0-255, default 0).\n"
    "  --once          Serve one host session, then exit.\n"
    "  --image FILE    Boot FILE when a host opens the port, without the loader.\n"
    "  --trace FILE    Write one line per device register access to FILE.\n";

int fail(const std::string& message)
{
    fprintf(stderr, "korvasim: %s\n", message.c_str());
    return 1;
}

bool parse_byte(const char* text, uint8_t* value)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long n = strtoul(text, &end, 0);
    if (*text == '\0' || *end != '\0' || errno != 0 || n > 255)
        return false;
    *value = static_cast<uint8_t>(n);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    using namespace korvasim;
    static const option options[] = {
        {"link", required_argument, nullptr, 'L'},  {"fault", required_argument, nullptr, 'f'},
        {"wake-byte", required_argument, nullptr, 'w'}, {"once", no_argument, nullptr, 'o'},
        {"image", required_argument, nullptr, 'i'}, {"trace", required_argument, nullptr, 't'},
        {"help", no_argument, nullptr, 'h'},        {nullptr, 0, nullptr, 0}};
    FrontEndOptions settings;
    std::string link, trace_path;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "", options, nullptr)) != -1) {
        std::string error;
        switch (c) {
        case 'L':
            link = optarg;
            break;
        case 'f':
            if (!add_fault(optarg, settings.faults, &error))
                return fail(error);
            break;
        case 'w':
            if (!parse_byte(optarg, &settings.wake_byte))
                return fail(std::string("bad wake-up byte '") + optarg + "': expected 0 to 255");
            break;
        case 'o':
            settings.once = true;
            break;
        case 'i': {
            std::ifstream in(optarg, std::ios::binary);
            if (!in)
                return fail(std::string("cannot read image ") + optarg + ": " + strerror(errno));
            settings.image.assign(std::istreambuf_iterator<char>(in), {});
            if (settings.image.empty() || settings.image.size() > BOOT_RAM_SIZE)
                return fail(std::string("image ") + optarg + " has " +
                            std::to_string(settings.image.size()) +
                            " bytes; the boot RAM takes 1 to 4096");
            break;
        }
        case 't':
            trace_path = optarg;
            break;
        case 'h':
            fputs(USAGE, stdout);
            return 0;
        default:
            fputs(USAGE, stderr);
            return 1;
        }
    }
    if (optind != argc) {
        fputs(USAGE, stderr);
        return 1;
    }
    if (!trace_path.empty()) {
        settings.trace = fopen(trace_path.c_str(), "w");
        if (!settings.trace)
            return fail("cannot write trace " + trace_path + ": " + strerror(errno));
    }

    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    try {
        PtyFrontEnd pty;
        if (!link.empty()) {
            struct stat st;
            // A link left behind by a killed run is replaced; anything else is kept.
            if (lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
                unlink(link.c_str());
            if (symlink(pty.slave_path().c_str(), link.c_str()) != 0)
                return fail("cannot create link " + link + ": " + strerror(errno));
        }
        printf("%s\n", pty.slave_path().c_str());
        fflush(stdout);
        pty.run(settings, stop_requested);
        if (!link.empty())
            unlink(link.c_str());
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    if (settings.trace)
        fclose(settings.trace);
    return 0;
}
