#include "station/outputs/hand_off.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <unistd.h>

#include "station/run/installation.h"

namespace korvastation {

using korvasim::Result;

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

// The attempt a record is of, as messages name it: "KV1 retest 2".
std::string what_of(const std::string& line)
{
    const nlohmann::json r = nlohmann::json::parse(line, nullptr, false);
    if (!r.is_object())
        return "an attempt";
    const int retest = r.value("retest", 0);
    return r.value("label", "an attempt") + (retest ? " retest " + std::to_string(retest) : "");
}

} // namespace

HandOff::HandOff(std::string command, RecordContext context, std::string outbox, std::function<Clock::time_point()> clock)
    : command_(std::move(command)), context_(std::move(context)), outbox_(std::move(outbox)), clock_(std::move(clock))
{
}

HandOff::~HandOff()
{
    if (child_)
        child_->signal_group(SIGKILL);
}

Result HandOff::open()
{
    std::ifstream outbox(outbox_);
    for (std::string line; std::getline(outbox, line);)
        if (!line.empty())
            records_.push_back({line + "\n", what_of(line)});
    return Result::ok();
}

Result HandOff::write_outbox() const
{
    std::string text;
    for (const Record& r : records_)
        text += r.line;
    return replace_file(outbox_, text, "the hand-off's outbox");
}

void HandOff::take(const AttemptRecord& attempt)
{
    const std::string what = attempt.board.label + (attempt.retest ? " retest " + std::to_string(attempt.retest) : "");
    records_.push_back({json_record(attempt, context_) + "\n", what});
    if (const Result written = write_outbox(); !written)
        fprintf(stderr, "korvastation: %s\n", written.why().c_str());
}

std::vector<int> HandOff::fds() const
{
    std::vector<int> fds;
    if (child_)
        for (int fd : {child_->out_fd(), child_->err_fd()})
            if (fd >= 0)
                fds.push_back(fd);
    return fds;
}

std::string HandOff::start(Clock::time_point now)
{
    const Record& first = records_.front();
    const std::string name = "--on-attempt command for " + first.what;
    std::string why;
    const int input = record_pipe(first.line, &why);
    if (input < 0)
        return name + " not run: " + why;
    try {
        child_ = std::make_unique<ChildProcess>("/bin/sh", std::vector<std::string>{"-c", command_}, true, input);
    } catch (const std::runtime_error& e) {
        close(input);
        return name + " not run: " + e.what();
    }
    close(input);
    deadline_ = now + std::chrono::milliseconds(static_cast<long>(TIME_LIMIT_S * 1000));
    output_.clear();
    output_read_ = 0;
    killed_ = false;
    return "";
}

// The command ended: the record is taken, or waits for a pause that grows.
std::string HandOff::ended(Clock::time_point now)
{
    const int status = child_->status();
    // Whatever it left running ends with it.
    child_->signal_group(SIGKILL);
    child_.reset();
    const std::string name = "--on-attempt command for " + records_.front().what;
    if (!killed_ && status == 0) {
        records_.pop_front();
        pause_ = std::chrono::seconds(1);
        due_ = now;
        const Result written = write_outbox();
        return written ? "" : written.why();
    }
    due_ = now + std::chrono::duration_cast<Clock::duration>(pause_);
    const long seconds = static_cast<long>(pause_.count());
    pause_ = std::min(pause_ * 2, std::chrono::duration<double>(LONGEST_PAUSE_S));
    const std::string said = last_line(output_);
    const std::string again = "; tried again in " + std::to_string(seconds) + " s (" +
                              std::to_string(records_.size()) + " waiting)";
    if (killed_)
        return name + " did not end in " + std::to_string(static_cast<int>(TIME_LIMIT_S)) + " s: killed" + again;
    return name + " failed with status " + std::to_string(status) + (said.empty() ? "" : " (" + said + ")") + again;
}

std::vector<std::string> HandOff::check(Clock::time_point now)
{
    std::vector<std::string> messages;
    if (!child_) {
        if (records_.empty() || now < due_)
            return messages;
        if (const std::string why = start(now); !why.empty()) {
            messages.push_back(why);
            due_ = now + std::chrono::duration_cast<Clock::duration>(pause_);
        }
        return messages;
    }
    // Bounded in memory and in time: output beyond MOST_OUTPUT is not read,
    // and the command finds its output closed.
    std::string got;
    if (output_read_ < MOST_OUTPUT) {
        child_->read_out(&got);
        child_->read_err(&got);
        output_read_ += got.size();
        output_ += got;
        if (output_.size() > KEPT_OUTPUT)
            output_.erase(0, output_.size() - KEPT_OUTPUT);
    } else {
        child_->close_output();
    }
    if (!killed_ && now >= deadline_) {
        child_->signal_group(SIGKILL);
        killed_ = true;
    }
    if (child_->reap())
        if (const std::string message = ended(now); !message.empty())
            messages.push_back(message);
    return messages;
}

} // namespace korvastation
