// A board run's side of dudedoved: starting it, reading what it prints, its
// time-outs, and what its end means for the attempt.
#include "station/run/attempt_series.h"

#include <csignal>

#include "host/report_lines.h"

namespace korvastation {

using Clock = std::chrono::steady_clock;

namespace {

// dudedoved's messages that mean the board was never reached, and the one
// that means it was lost on the way.
bool never_reached(const std::string& errors)
{
    return errors.find("Could not open serial port") != std::string::npos ||
           errors.find("Could not configure serial port") != std::string::npos;
}

std::string first_line(const std::string& text)
{
    return text.substr(0, text.find('\n'));
}

} // namespace

void AttemptSeries::launch_tool(Clock::time_point now)
{
    state_ = BoardState::TESTING;
    last_byte_ = now;
    progress_told_ = last_byte_;
    if (tool_run_ == ToolRun::VERBOSE_FOLLOW_UP) {
        launch({"-p", record_.board.port, "-v", "-l", record_.verbose_log});
        return;
    }
    started_ = last_byte_;
    if (options_.burn_in())
        launch({"-p", record_.board.port, "-c", "-l", record_.log});
    else
        launch({"-p", record_.board.port, "-v", "-l", record_.log});
}

void AttemptSeries::launch(const std::vector<std::string>& args)
{
    output_ = ToolOutput();
    errors_.clear();
    waiting_for_board_ = false;
    interrupted_on_purpose_ = false;
    try {
        child_ = std::make_unique<ChildProcess>(options_.dudedoved, args);
    } catch (const std::exception& e) {
        child_.reset();
        finish(Verdict::NOT_TESTED, e.what());
    }
}

void AttemptSeries::on_event(const ToolOutputEvent& e, Clock::time_point now)
{
    const bool counted = tool_run_ == ToolRun::TESTS && !interrupted_on_purpose_;
    switch (e.event) {
    case ToolEvent::WAITING_FOR_BOARD:
        waiting_for_board_ = true;
        waiting_since_ = now;
        record_.phase = Phase::WAITING_FOR_BOARD;
        add_event(BoardEvent::Kind::STATE, phase_text(record_));
        if (powered() && !power_on_sent_ && !power_) {
            power_on_sent_ = true;
            add_event(BoardEvent::Kind::STATE, "powering on");
            run_power(options_.power_on, now);
        }
        break;
    case ToolEvent::DOWNLOADING:
        waiting_for_board_ = false;
        record_.phase = Phase::DOWNLOADING;
        add_event(BoardEvent::Kind::STATE, phase_text(record_));
        break;
    case ToolEvent::TEST_STARTED:
        waiting_for_board_ = false;  // a board under test is awake, whatever came before
        test_since_ = now;
        record_.running_test = e.test;
        record_.phase = tool_run_ == ToolRun::TESTS ? Phase::TESTING : Phase::VERBOSE_PASS;
        break;
    case ToolEvent::TEST_PASSED:
    case ToolEvent::TEST_FAILED: {
        const bool passed = e.event == ToolEvent::TEST_PASSED;
        record_.running_test = NO_BOARD_TEST;
        if (!counted)
            break;
        record_.counts[e.test][passed ? 0 : 1] += 1;
        record_.seconds[e.test] += seconds_between(test_since_, now);
        if (!passed && record_.first_failure[e.test] == 0)
            record_.first_failure[e.test] = record_.passes + 1;
        // A burn-in tells its first pass, then failures only and a progress
        // line a minute: a day's passes would fill a log with "passed".
        const std::string verdict = std::string(TEST_NAMES[e.test]) + " " + (passed ? REPORT_PASSED : REPORT_FAILED);
        if (!options_.burn_in())
            add_event(BoardEvent::Kind::TEST_RESULT, verdict);
        else if (!passed || record_.passes == 0)
            add_event(BoardEvent::Kind::TEST_RESULT, verdict + " (pass " + std::to_string(record_.passes + 1) + ")");
        if (e.test == BOARD_TEST_COUNT - 1) {  // the last test ends a pass
            ++record_.passes;
            if (options_.burn_in() && (enough_passes(now) || (options_.stop_at_failure && record_.failures() > 0))) {
                // Between passes: nothing of the next one is counted.
                interrupted_on_purpose_ = true;
                child_->signal(SIGINT);
            }
        }
        break;
    }
    }
}

bool AttemptSeries::advance_tool(Clock::time_point now, bool readable)
{
    bool changed = false;
    std::string out;
    bool out_open = child_->out_fd() >= 0;
    if (readable) {
        out_open = child_->read_out(&out);
        child_->read_err(&errors_);
    }
    if (!out.empty()) {
        last_byte_ = now;
        std::vector<ToolOutputEvent> events;
        output_.feed(out.data(), out.size(), &events);
        for (const auto& e : events)
            on_event(e, now);
        changed = !events.empty();
    }
    if (!out_open && child_->reap()) {
        process_ended(now);
        return true;
    }
    if (interrupted_on_purpose_)
        return changed;
    if (waiting_for_board_ && options_.wake_timeout_s > 0 &&
        seconds_between(waiting_since_, now) > options_.wake_timeout_s) {
        hang(-1, "no wake-up byte in " + std::to_string(static_cast<long>(options_.wake_timeout_s)) + " s");
        return true;
    }
    // Every other wait has the silence limit: a dudedoved that says nothing
    // after it started, or a board that never prompts after its download.
    if (!waiting_for_board_ && seconds_between(last_byte_, now) > options_.silence_timeout_s) {
        const std::string limit = std::to_string(static_cast<long>(options_.silence_timeout_s)) + " s";
        const int test = output_.running_test();
        if (test >= 0)
            hang(test, std::string("no output from the board in ") + TEST_NAMES[test] + " for " + limit);
        else if (record_.phase == Phase::DOWNLOADING)
            hang(-1, "no prompt from the board " + limit + " after its download");
        else
            hang(-1, "no output from dudedoved for " + limit + " (" + phase_text(record_) + ")");
        return true;
    }
    return changed;
}

void AttemptSeries::hang(int test, const std::string& why)
{
    interrupted_on_purpose_ = true;
    child_->signal(SIGTERM);
    // The board failed already; its verbose pass is only for the diagnosis.
    if (tool_run_ == ToolRun::VERBOSE_FOLLOW_UP) {
        finish(Verdict::FAILED, "the verbose pass hung: " + why);
        return;
    }
    record_.hung_test = test;
    record_.hung_in = test >= 0 ? TEST_NAMES[test] : waiting_for_board_ ? "wake-up" : "start-up";
    finish(Verdict::HUNG, why);
}

void AttemptSeries::process_ended(Clock::time_point now)
{
    const int status = child_->status();
    child_->read_err(&errors_);
    child_.reset();
    if (record_.verdict != Verdict::RUNNING)
        return;  // hung or not powered: the record is written
    const bool failed = record_.failures() > 0;
    if (tool_run_ == ToolRun::VERBOSE_FOLLOW_UP) {
        finish(Verdict::FAILED);
        return;
    }
    if (stop_requests_ > 0) {
        finish(failed ? Verdict::FAILED : Verdict::STOPPED, failed ? "" : "the station was stopped");
        return;
    }
    // A log that cannot be written (a full disk, a size limit) is the
    // station's trouble: the board was not tested, and is not to blame.
    if (errors_.find("Could not open logfile") != std::string::npos ||
        errors_.find("Could not write logfile") != std::string::npos) {
        record_.station_trouble = true;
        finish(Verdict::NOT_TESTED, first_line(errors_));
        return;
    }
    if (never_reached(errors_)) {
        finish(Verdict::NOT_TESTED, first_line(errors_));
        return;
    }
    const bool complete = options_.burn_in() ? interrupted_on_purpose_ : record_.passes == 1;
    if (!complete) {
        const std::string why = errors_.empty()
                                    ? "dudedoved ended with status " + std::to_string(status) + " before the run was through"
                                    : first_line(errors_);
        finish(Verdict::LOST, why);
        return;
    }
    if (failed && options_.burn_in()) {
        // One verbose pass, so that the failure can be diagnosed from its log.
        tool_run_ = ToolRun::VERBOSE_FOLLOW_UP;
        record_.verbose_log = record_.log.substr(0, record_.log.size() - 4) + "-verbose.log";
        record_.phase = Phase::VERBOSE_PASS;
        add_event(BoardEvent::Kind::STATE, "failed during burn-in; one verbose pass for the diagnosis");
        // A powered board stays on: only a power cycle brings its loader back.
        if (powered()) {
            power_on_sent_ = false;
            state_ = BoardState::POWERING_OFF;
            run_power(options_.power_off, now);
        } else {
            launch_tool(now);
        }
        return;
    }
    finish(failed ? Verdict::FAILED : Verdict::PASSED);
}

bool AttemptSeries::enough_passes(Clock::time_point now) const
{
    if (options_.duration_s > 0)
        return seconds_between(started_, now) >= options_.duration_s;
    return record_.passes >= options_.passes;
}

} // namespace korvastation
