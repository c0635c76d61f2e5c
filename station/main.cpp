// korvastation: several Korva boards tested at once on a production line,
// each by its own dudedoved, with time-outs, burn-in, records and the
// diagnosis of a failed board.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

#include "station/station.h"
#include "station/cli/report_command.h"
#include "station/cli/serve_command.h"

namespace {

using namespace korvastation;

std::atomic<int> interrupts{0};
std::atomic<bool> resized{false};

void on_signal(int)
{
    ++interrupts;
}

void on_resize(int)
{
    resized = true;
}

size_t terminal_width()
{
    winsize size = {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0)
        return 80;
    return size.ws_col;
}

void handle_signals()
{
    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // The station's terminal closed: stop as asked to, and keep the records.
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    struct sigaction resize = {};
    resize.sa_handler = on_resize;
    sigaction(SIGWINCH, &resize, nullptr);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::string(argv[1]) == "report")
        return run_report(argc - 1, argv + 1);
    if (argc > 1 && std::string(argv[1]) == "serve") {
        handle_signals();
        return run_serve(argc - 1, argv + 1, interrupts);
    }
    StationSettings options;
    if (const korvasim::Result parsed = parse_station_options(argc, argv, &options); !parsed) {
        tell_user(parsed.why());
        return EXIT_UNTESTED;
    }
    if (options.help) {
        fputs(STATION_USAGE, stdout);
        return 0;
    }
    Station station(options, std::make_unique<Display>(stdout, isatty(STDOUT_FILENO), terminal_width));
    if (const korvasim::Result opened = station.open(); !opened) {
        tell_user(opened.why());
        return EXIT_UNTESTED;
    }
    handle_signals();
    station.run(interrupts, resized);
    const int status = station.finish(interrupts);
    station.keep_page(interrupts);
    return status;
}
