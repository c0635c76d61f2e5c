#include "station/outputs/hand_off.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

#include "station/run/user_messages.h"

namespace korvastation {

namespace {

const size_t KEPT_OUTPUT = 2000;

// The record waits in a pipe that holds all of it, so that the station
// never blocks on a command that does not read.
int record_pipe(const std::string& record, std::string* why)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        *why = std::string("cannot make a pipe: ") + strerror(errno);
        return -1;
    }
    if (record.size() > 60000)
        fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(record.size() + 4096));
    const ssize_t written = write(fds[1], record.data(), record.size());
    const int e = errno;
    close(fds[1]);
    if (written != static_cast<ssize_t>(record.size())) {
        close(fds[0]);
        *why = std::string("its record does not fit a pipe: ") + (written < 0 ? strerror(e) : "too long");
        return -1;
    }
    // The command reads it blocking, as any program reads its input.
    fcntl(fds[0], F_SETFL, 0);
    return fds[0];
}

std::string last_line(const std::string& text)
{
    const size_t end = text.find_last_not_of("\r\n");
    if (end == std::string::npos)
        return "";
    const size_t start = text.rfind('\n', end);
    return text.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1) + 1);
}

} // namespace

HandOff::HandOff(std::string command, RecordContext context)
    : command_(std::move(command)), context_(std::move(context))
{
}

void HandOff::take(const AttemptRecord& attempt)
{
    const std::string what = attempt.board.label + (attempt.retest ? " retest " + std::to_string(attempt.retest) : "");
    if (const std::string why = send(json_record(attempt, context_), what, std::chrono::steady_clock::now());
        !why.empty())
        tell_user(why);
}

HandOff::~HandOff()
{
    for (Run& run : runs_)
        run.child->signal_group(SIGKILL);
}

std::string HandOff::send(const std::string& record, const std::string& what, std::chrono::steady_clock::time_point now)
{
    const std::string name = "--on-attempt command for " + what;
    if (runs_.size() >= MOST_AT_ONCE)
        return name + " not run: " + std::to_string(runs_.size()) + " earlier ones still run";
    std::string why;
    const int input = record_pipe(record, &why);
    if (input < 0)
        return name + " not run: " + why;
    Run run;
    try {
        run.child = std::make_unique<ChildProcess>("/bin/sh", std::vector<std::string>{"-c", command_}, true, input);
    } catch (const std::runtime_error& e) {
        close(input);
        return name + " not run: " + e.what();
    }
    close(input);
    run.what = what;
    run.deadline = now + std::chrono::milliseconds(static_cast<long>(TIME_LIMIT_S * 1000));
    runs_.push_back(std::move(run));
    return "";
}

std::vector<int> HandOff::fds() const
{
    std::vector<int> fds;
    for (const Run& run : runs_)
        for (int fd : {run.child->out_fd(), run.child->err_fd()})
            if (fd >= 0)
                fds.push_back(fd);
    return fds;
}

std::vector<std::string> HandOff::check(std::chrono::steady_clock::time_point now)
{
    std::vector<std::string> messages;
    for (auto run = runs_.begin(); run != runs_.end();) {
        run->child->read_out(&run->output);
        run->child->read_err(&run->output);
        if (run->output.size() > KEPT_OUTPUT)
            run->output.erase(0, run->output.size() - KEPT_OUTPUT);
        if (!run->killed && now >= run->deadline) {
            run->child->signal_group(SIGKILL);
            run->killed = true;
        }
        if (!run->child->reap()) {
            ++run;
            continue;
        }
        const std::string name = "--on-attempt command for " + run->what;
        const std::string said = last_line(run->output);
        if (run->killed)
            messages.push_back(name + " did not end in " + std::to_string(static_cast<int>(TIME_LIMIT_S)) +
                               " s: killed, not retried");
        else if (run->child->status() != 0)
            messages.push_back(name + " failed with status " + std::to_string(run->child->status()) +
                               (said.empty() ? "" : " (" + said + ")") + ", not retried");
        run = runs_.erase(run);
    }
    return messages;
}

} // namespace korvastation
