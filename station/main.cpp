// korvastation: several Korva boards tested at once on a production line,
// each by its own dudedoved, with time-outs, burn-in, records and the
// diagnosis of a failed board; or its fixtures served all day; or the
// report of what the records say.
#include <atomic>
#include <csignal>
#include <string>

#include "station/cli/batch_command.h"
#include "station/cli/report_command.h"
#include "station/cli/serve_command.h"

namespace {

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

void catch_signals()
{
    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // The station's terminal closed: stop as asked to, and keep the records.
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // A file size limit is a write that fails, told as such: it must not
    // kill the station (nor, inherited, its dudedoved) in the middle of a
    // record.
    signal(SIGXFSZ, SIG_IGN);
    struct sigaction resize = {};
    resize.sa_handler = on_resize;
    sigaction(SIGWINCH, &resize, nullptr);
}

} // namespace

int main(int argc, char** argv)
{
    using namespace korvastation;
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "report")
        return run_report(argc - 1, argv + 1);
    if (command == "serve") {
        catch_signals();
        return run_serve(argc - 1, argv + 1, interrupts);
    }
    return run_batch(argc, argv, interrupts, resized, catch_signals);
}
