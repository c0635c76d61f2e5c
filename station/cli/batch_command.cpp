#include "station/cli/batch_command.h"

#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

#include "station/batch/batch_station.h"
#include "station/cli/station_options.h"
#include "station/run/user_messages.h"

namespace korvastation {

namespace {

size_t terminal_width()
{
    winsize size = {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0)
        return 80;
    return size.ws_col;
}

} // namespace

int run_batch(int argc, char** argv, const std::atomic<int>& interrupts, std::atomic<bool>& resized,
              const std::function<void()>& catch_signals)
{
    StationSettings options;
    if (const korvasim::Result parsed = parse_station_options(argc, argv, &options); !parsed) {
        tell_user(parsed.why());
        return EXIT_UNTESTED;
    }
    if (options.help) {
        fputs(STATION_USAGE, stdout);
        return 0;
    }
    BatchStation station(options, std::make_unique<Display>(stdout, isatty(STDOUT_FILENO), terminal_width));
    if (const korvasim::Result opened = station.open(); !opened) {
        tell_user(opened.why());
        return EXIT_UNTESTED;
    }
    catch_signals();
    station.run(interrupts, resized);
    const int status = station.finish(interrupts);
    station.keep_page(interrupts);
    return status;
}

} // namespace korvastation
