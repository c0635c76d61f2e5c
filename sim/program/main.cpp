// korvasim: the Korva board on a pseudo-terminal, for dudedoved or any
// terminal program to talk to.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <cstdio>
#include <memory>

#include "firmware/boot_image.h"
#include "firmware/board_map.h"
#include "sim/gdb/gdb_server.h"
#include "sim/program/command_line.h"
#include "sim/program/coverage_report.h"
#include "sim/program/power_switch.h"
#include "sim/program/pty_front_end.h"
#include "sim/program/pty_link.h"

namespace {

using namespace korvasim;

std::atomic<bool> stop_requested{false};

void on_signal(int)
{
    stop_requested = true;
}

void report_session(const korvasim::SessionReport& report)
{
    if (report.image_refused)
        fprintf(stderr, "korvasim: image refused: more than the %u bytes of boot RAM; the board "
                        "stayed silent until the port was closed\n", BOOT_RAM_SIZE);
    if (!report.undefined_access.empty())
        fprintf(stderr, "korvasim: %s\n", report.undefined_access.c_str());
    if (!report.power_complaint.empty())
        fprintf(stderr, "korvasim: %s\n", report.power_complaint.c_str());
    if (!report.board_fault.empty())
        fprintf(stderr, "korvasim: the board stopped: %s\n", report.board_fault.c_str());
    if (report.dropped_bytes > 0)
        fprintf(stderr, "korvasim: the host did not read %llu bytes of the board's output; "
                        "they were dropped\n", static_cast<unsigned long long>(report.dropped_bytes));
}

// The simulated board on a pty, one session after another, until a signal.
int serve(CommandLine& command)
{
    FrontEndOptions& settings = command.settings;
    if (!command.trace_path.empty()) {
        settings.trace = fopen(command.trace_path.c_str(), "w");
        if (!settings.trace)
            return fail("cannot write trace " + command.trace_path + ": " + strerror(errno));
    }

    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    try {
        std::unique_ptr<GdbServer> debugger;
        if (command.gdb) {
            debugger = std::make_unique<GdbServer>(
                command.gdb_host, command.gdb_port, command.gdb_wait, [](const std::string& news) {
                    fprintf(stderr, "korvasim: %s\n", news.c_str());
                });
            fprintf(stderr, "korvasim: debugger port %s%s\n", debugger->address().c_str(),
                    command.gdb_wait ? "; each board waits at reset for the debugger" : "");
            if (!debugger->loopback())
                fprintf(stderr, "korvasim: warning: the debugger port %s is open beyond this machine: "
                                "anyone who reaches it can read, write and run the board\n",
                        debugger->address().c_str());
            settings.debugger = debugger.get();
        }
        std::unique_ptr<PowerSwitch> power;
        if (!command.power_path.empty()) {
            power = std::make_unique<PowerSwitch>(command.power_path);
            settings.power = power.get();
        }
        PtyFrontEnd pty;
        if (!command.link.empty()) {
            if (const Result linked = make_link(command.link, pty.slave_path()); !linked)
                return fail(linked.why());
        }
        printf("%s\n", pty.slave_path().c_str());
        fflush(stdout);
        pty.run(settings, stop_requested, report_session);
        if (!command.link.empty())
            remove_link(command.link, pty.slave_path());
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    if (settings.trace)
        fclose(settings.trace);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    CommandLine command;
    const int status = parse_command_line(argc, argv, &command);
    if (status >= 0)
        return status;
    if (!command.run_coverage && !command.diagnose_given)
        return serve(command);
    std::vector<uint8_t> image = command.settings.image;
    if (image.empty())
        image.assign(boot_image, boot_image + BOOT_IMAGE_SIZE);
    return command.run_coverage ? report_coverage(image, command.format, command.coverage_all)
                                : report_diagnosis(image, command.diagnose_log);
}
