#include "station/run/board_run.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "host/report_lines.h"

namespace korvastation {

namespace {

using Clock = std::chrono::steady_clock;

double seconds_between(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

// dudedoved's messages that mean the board was never reached, and the one
// that means it was lost on the way.
bool never_reached(const std::string& errors)
{
    return errors.find("Could not open serial port") != std::string::npos ||
           errors.find("Could not configure serial port") != std::string::npos ||
           errors.find("Could not open logfile") != std::string::npos;
}

std::string first_line(const std::string& text)
{
    return text.substr(0, text.find('\n'));
}

} // namespace

const char* verdict_name(Verdict v)
{
    switch (v) {
    case Verdict::RUNNING: return "running";
    case Verdict::PASSED: return "passed";
    case Verdict::FAILED: return "failed";
    case Verdict::HUNG: return "hung";
    case Verdict::LOST: return "lost";
    case Verdict::NOT_TESTED: return "not tested";
    case Verdict::STOPPED: return "stopped";
    }
    return "?";
}

std::string hung_where(const BoardRecord& r)
{
    return r.hung_test >= 0 ? " in " + r.hung_in : " at the " + r.hung_in;
}

std::string verdict_text(const BoardRecord& r)
{
    if (r.verdict == Verdict::PASSED && r.retest > 0)
        return "passed on retest " + std::to_string(r.retest);
    return verdict_name(r.verdict);
}

bool untested(Verdict v)
{
    return v == Verdict::HUNG || v == Verdict::LOST || v == Verdict::NOT_TESTED || v == Verdict::STOPPED;
}

BoardRun::BoardRun(const BoardSpec& board, const StationOptions& options, const std::string& log_dir)
    : options_(options), log_dir_(log_dir)
{
    record_.board = board;
    record_.log = log_dir + "/" + log_name_of(board.label) + ".log";
}

void BoardRun::start()
{
    if (powered()) {
        record_.power_log = log_dir_ + "/" + log_name_of(record_.board.label) + "-power.log";
        power_log_.reset(fopen(record_.power_log.c_str(), "w"));
        if (!power_log_) {
            finish(Verdict::NOT_TESTED, "cannot open the power log " + record_.power_log + ": " + strerror(errno));
            power_failed_ = true;
            return;
        }
    }
    start_attempt();
}

void BoardRun::start_attempt()
{
    record_.start = std::chrono::system_clock::now();
    started_ = Clock::now();
    last_byte_ = started_;
    power_on_sent_ = false;
    stage_ = Stage::MAIN;
    // Off first, so that the board's loader speaks only once dudedoved listens.
    if (powered()) {
        step_ = Step::POWERING_OFF;
        record_.phase = "powering off";
        run_power(options_.power_off);
    } else if (record_.retest > 0) {
        step_ = Step::POWERED_OFF;
        off_since_ = started_;
        record_.phase = "waiting to retest";
    } else {
        launch_tool();
    }
}

void BoardRun::run_power(const PowerCommandLine& line)
{
    power_ = std::make_unique<PowerCommandRun>(line, record_.board, options_.power_timeout_s, power_log_.get());
}

void BoardRun::launch_tool()
{
    step_ = Step::TESTING;
    last_byte_ = Clock::now();
    progress_told_ = last_byte_;
    if (stage_ == Stage::VERBOSE_FOLLOW_UP) {
        launch({"-p", record_.board.port, "-v", "-l", record_.verbose_log});
        return;
    }
    started_ = last_byte_;
    if (options_.burn_in())
        launch({"-p", record_.board.port, "-c", "-l", record_.log});
    else
        launch({"-p", record_.board.port, "-v", "-l", record_.log});
}

void BoardRun::launch(const std::vector<std::string>& args)
{
    output_ = ToolOutput();
    errors_.clear();
    waiting_for_board_ = false;
    ending_ = false;
    try {
        child_ = std::make_unique<ChildProcess>(options_.dudedoved, args);
    } catch (const std::exception& e) {
        child_.reset();
        finish(Verdict::NOT_TESTED, e.what());
    }
}

std::vector<int> BoardRun::fds() const
{
    std::vector<int> fds;
    if (power_)
        fds = power_->fds();
    if (child_) {
        if (child_->out_fd() >= 0)
            fds.push_back(child_->out_fd());
        if (child_->err_fd() >= 0)
            fds.push_back(child_->err_fd());
    }
    return fds;
}

void BoardRun::tell(const std::string& event)
{
    events_.push_back(record_.board.label + ": " + event);
}

std::vector<std::string> BoardRun::take_events()
{
    std::vector<std::string> taken;
    taken.swap(events_);
    return taken;
}

bool BoardRun::enough_passes(Clock::time_point now) const
{
    if (options_.duration_s > 0)
        return seconds_between(started_, now) >= options_.duration_s;
    return record_.passes >= options_.passes;
}

void BoardRun::on_event(const ToolOutputEvent& e, Clock::time_point now)
{
    const bool counted = stage_ == Stage::MAIN && !ending_;
    switch (e.event) {
    case ToolEvent::WAITING_FOR_BOARD:
        waiting_for_board_ = true;
        waiting_since_ = now;
        record_.phase = "waiting for the board";
        tell(record_.phase);
        if (powered() && !power_on_sent_ && !power_) {
            power_on_sent_ = true;
            tell("powering on");
            run_power(options_.power_on);
        }
        break;
    case ToolEvent::DOWNLOADING:
        waiting_for_board_ = false;
        record_.phase = "downloading";
        tell(record_.phase);
        break;
    case ToolEvent::TEST_STARTED:
        test_since_ = now;
        record_.running_test = e.test;
        record_.phase = std::string(stage_ == Stage::MAIN ? "" : "verbose ") + TEST_NAMES[e.test];
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
            tell(verdict);
        else if (!passed || record_.passes == 0)
            tell(verdict + " (pass " + std::to_string(record_.passes + 1) + ")");
        if (e.test == TEST_SRAM) {
            ++record_.passes;
            if (options_.burn_in() && (enough_passes(now) || (options_.stop_at_failure && record_.failures() > 0))) {
                // Between passes: nothing of the next one is counted.
                ending_ = true;
                child_->signal(SIGINT);
            }
        }
        break;
    }
    }
}

long BoardRun::silent_seconds(Clock::time_point now) const
{
    if (!child_ || record_.running_test < 0 || record_.verdict != Verdict::RUNNING)
        return 0;
    return static_cast<long>(seconds_between(last_byte_, now));
}

std::string BoardRun::burn_in_progress(Clock::time_point now) const
{
    if (!options_.burn_in() || stage_ != Stage::MAIN || step_ != Step::TESTING || record_.verdict != Verdict::RUNNING)
        return "";
    if (options_.duration_s <= 0)
        return "pass " + std::to_string(record_.passes + 1) + " of " + std::to_string(options_.passes);
    const long elapsed = static_cast<long>(seconds_between(started_, now) / 60);
    const long total = static_cast<long>(options_.duration_s / 60);
    return std::to_string(elapsed) + " min of " + std::to_string(total) + " min, " +
           std::to_string(std::max(0L, total - elapsed)) + " min left";
}

bool BoardRun::pump(Clock::time_point now, bool readable)
{
    bool changed = false;
    if (options_.burn_in() && step_ == Step::TESTING && stage_ == Stage::MAIN && !ending_ &&
        seconds_between(progress_told_, now) >= 60) {
        if (record_.passes > 0)
            tell("burn-in: " + std::to_string(record_.passes) + " passes, " + std::to_string(record_.failures()) +
                 " failed tests; " + burn_in_progress(now));
        progress_told_ = now;
    }
    if (power_ && power_->pump(now)) {
        power_done(now);
        changed = true;
    }
    if (step_ == Step::POWERED_OFF && seconds_between(off_since_, now) >= options_.power_cycle_wait_s) {
        launch_tool();
        changed = true;
    }
    if (child_)
        changed = pump_tool(now, readable) || changed;
    if (step_ == Step::ATTEMPT_OVER && !child_ && !power_) {
        attempt_over();
        changed = true;
    }
    return changed;
}

void BoardRun::power_done(Clock::time_point now)
{
    const std::string failure = power_->failure();
    power_.reset();
    if (!failure.empty()) {
        power_failed_ = true;
        tell(failure);
    }
    // After a failure in burn-in, the board failed whatever its switch does.
    const bool failed_already = stage_ == Stage::VERBOSE_FOLLOW_UP;
    if (!failure.empty() && failed_already)
        record_.power_problem = failure;
    switch (step_) {
    case Step::POWERING_OFF:
        if (!failure.empty()) {
            finish(failed_already ? Verdict::FAILED : Verdict::NOT_TESTED, failure);
            return;
        }
        step_ = Step::POWERED_OFF;
        off_since_ = now;
        record_.phase = "powered off";
        break;
    case Step::TESTING:
        // A board that did not get its power was never tested.
        if (!failure.empty()) {
            ending_ = true;
            if (child_)
                child_->signal(SIGTERM);
            finish(failed_already ? Verdict::FAILED : Verdict::NOT_TESTED, failure);
        }
        break;
    case Step::FINAL_POWER_OFF:
        record_.power_problem = failure;
        step_ = Step::DONE;
        break;
    case Step::ATTEMPT_OVER:
        // A power-on that failed or hung after dudedoved was through: the
        // board ran on a switch that cannot be trusted, so it was not tested,
        // unless it failed a test, which no switch explains away.
        if (!failure.empty() && record_.verdict != Verdict::FAILED)
            finish(Verdict::NOT_TESTED, failure);
        else if (!failure.empty())
            record_.power_problem = failure;
        break;
    default:
        if (!failure.empty())
            record_.power_problem = failure;
        break;
    }
}

bool BoardRun::retest_due() const
{
    return stops_ == 0 && !power_failed_ && record_.retest < options_.retests &&
           (record_.verdict == Verdict::FAILED || record_.verdict == Verdict::HUNG);
}

namespace {

// What an attempt came to: its verdict, and the tests it failed or hung in.
std::string outcome_of(const BoardRecord& r)
{
    std::string outcome = verdict_name(r.verdict);
    for (int t = 0; t < BOARD_TEST_COUNT; ++t)
        if (r.counts[t][1] > 0)
            outcome += std::string(" ") + TEST_NAMES[t];
    if (r.verdict == Verdict::HUNG)
        outcome += hung_where(r);
    return outcome;
}

} // namespace

void BoardRun::attempt_over()
{
    if (retest_due()) {
        earlier_.push_back(record_);
        earlier_.back().final_attempt = false;
        BoardRecord next;
        next.board = record_.board;
        next.retest = record_.retest + 1;
        next.power_log = record_.power_log;
        next.log = log_dir_ + "/" + log_name_of(next.board.label) + "-retest" + std::to_string(next.retest) + ".log";
        record_ = next;
        output_ = ToolOutput();
        tell("retest " + std::to_string(record_.retest) + " of " + std::to_string(options_.retests));
        start_attempt();
        return;
    }
    for (const BoardRecord& earlier : earlier_)
        record_.intermittent = record_.intermittent || outcome_of(earlier) != outcome_of(record_);
    if (powered() && !options_.keep_power && !power_failed_ && stops_ < 2) {
        step_ = Step::FINAL_POWER_OFF;
        run_power(options_.power_off);
    } else {
        step_ = Step::DONE;
    }
}

std::vector<int> BoardRun::take_finished()
{
    const int complete = static_cast<int>(earlier_.size()) + (done() ? 1 : 0);
    std::vector<int> finished;
    for (; finished_taken_ < complete; ++finished_taken_)
        finished.push_back(finished_taken_);
    return finished;
}

std::vector<BoardRecord> BoardRun::attempts() const
{
    std::vector<BoardRecord> all = earlier_;
    all.push_back(record_);
    return all;
}

bool BoardRun::pump_tool(Clock::time_point now, bool readable)
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
        process_ended();
        return true;
    }
    if (ending_)
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
        else if (record_.phase == "downloading")
            hang(-1, "no prompt from the board " + limit + " after its download");
        else
            hang(-1, "no output from dudedoved for " + limit + " (" + record_.phase + ")");
        return true;
    }
    return changed;
}

void BoardRun::hang(int test, const std::string& why)
{
    ending_ = true;
    child_->signal(SIGTERM);
    // The board failed already; its verbose pass is only for the diagnosis.
    if (stage_ == Stage::VERBOSE_FOLLOW_UP) {
        finish(Verdict::FAILED, "the verbose pass hung: " + why);
        return;
    }
    record_.hung_test = test;
    record_.hung_in = test >= 0 ? TEST_NAMES[test] : waiting_for_board_ ? "wake-up" : "start-up";
    finish(Verdict::HUNG, why);
}

void BoardRun::stop()
{
    ++stops_;
    if (child_ && !child_->ended()) {
        // Asked twice, the station does not wait for dudedoved any more.
        child_->signal(stops_ > 1 ? SIGKILL : SIGINT);
        ending_ = true;
    }
    if (step_ == Step::POWERING_OFF || step_ == Step::POWERED_OFF) {
        power_.reset();
        if (record_.failures() > 0)
            finish(Verdict::FAILED);
        else
            finish(Verdict::STOPPED, "the station was stopped");
    }
    // ... nor for a power command.
    if (stops_ > 1 && power_) {
        power_.reset();
        if (step_ == Step::FINAL_POWER_OFF)
            step_ = Step::DONE;
    }
}

void BoardRun::process_ended()
{
    const int status = child_->status();
    child_->read_err(&errors_);
    child_.reset();
    if (record_.verdict != Verdict::RUNNING)
        return;  // hung or not powered: the record is written
    const bool failed = record_.failures() > 0;
    if (stage_ == Stage::VERBOSE_FOLLOW_UP) {
        finish(Verdict::FAILED);
        return;
    }
    if (stops_ > 0) {
        finish(failed ? Verdict::FAILED : Verdict::STOPPED, failed ? "" : "the station was stopped");
        return;
    }
    if (never_reached(errors_)) {
        finish(Verdict::NOT_TESTED, first_line(errors_));
        return;
    }
    const bool complete = options_.burn_in() ? ending_ : record_.passes == 1;
    if (!complete) {
        const std::string why = errors_.empty()
                                    ? "dudedoved ended with status " + std::to_string(status) + " before the run was through"
                                    : first_line(errors_);
        finish(Verdict::LOST, why);
        return;
    }
    if (failed && options_.burn_in()) {
        // One verbose pass, so that the failure can be diagnosed from its log.
        stage_ = Stage::VERBOSE_FOLLOW_UP;
        record_.verbose_log = record_.log.substr(0, record_.log.size() - 4) + "-verbose.log";
        record_.phase = "verbose pass";
        tell("failed during burn-in; one verbose pass for the diagnosis");
        // A powered board stays on: only a power cycle brings its loader back.
        if (powered()) {
            power_on_sent_ = false;
            step_ = Step::POWERING_OFF;
            run_power(options_.power_off);
        } else {
            launch_tool();
        }
        return;
    }
    finish(failed ? Verdict::FAILED : Verdict::PASSED);
}

void BoardRun::finish(Verdict verdict, const std::string& problem)
{
    step_ = Step::ATTEMPT_OVER;
    record_.verdict = verdict;
    record_.problem = problem;
    record_.end = std::chrono::system_clock::now();
    record_.phase = "done";
    std::string line = "done: " + verdict_text(record_);
    if (verdict == Verdict::HUNG)
        line += hung_where(record_);
    if (!problem.empty())
        line += " (" + problem + ")";
    tell(line);
}

} // namespace korvastation
