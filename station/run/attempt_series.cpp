#include "station/run/attempt_series.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "host/report_lines.h"

namespace korvastation {

using Clock = std::chrono::steady_clock;

double AttemptSeries::seconds_between(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

AttemptSeries::AttemptSeries(const BoardSpec& board, const StationSettings& options, const std::string& log_dir)
    : options_(options), log_dir_(log_dir)
{
    record_.board = board;
    record_.log = log_dir + "/" + log_stem() + ".log";
}

std::string AttemptSeries::log_stem() const
{
    return record_.board.log_stem.empty() ? log_name_of(record_.board.label) : record_.board.log_stem;
}

void AttemptSeries::start(Clock::time_point now)
{
    if (powered()) {
        record_.power_log = log_dir_ + "/" + log_stem() + "-power.log";
        power_log_.reset(fopen(record_.power_log.c_str(), "w"));
        if (!power_log_) {
            finish(Verdict::NOT_TESTED, "cannot open the power log " + record_.power_log + ": " + strerror(errno));
            power_failed_ = true;
            return;
        }
    }
    start_attempt(now);
}

void AttemptSeries::continue_day(int earlier_attempts, std::set<std::string> earlier_outcomes)
{
    first_retest_ = earlier_attempts;
    record_.retest = earlier_attempts;
    earlier_outcomes_ = std::move(earlier_outcomes);
}

void AttemptSeries::start_attempt(Clock::time_point now)
{
    record_.start = std::chrono::system_clock::now();
    started_ = now;
    last_byte_ = started_;
    power_on_sent_ = false;
    tool_run_ = ToolRun::TESTS;
    // Off first, so that the board's loader speaks only once dudedoved listens.
    if (powered()) {
        state_ = BoardState::POWERING_OFF;
        record_.phase = Phase::POWERING_OFF;
        run_power(options_.power_off, now);
    } else if (!earlier_.empty()) {
        state_ = BoardState::POWERED_OFF;
        off_since_ = started_;
        record_.phase = Phase::WAITING_TO_RETEST;
    } else {
        launch_tool(now);
    }
}

void AttemptSeries::run_power(const PowerCommandLine& line, Clock::time_point now)
{
    power_ = std::make_unique<PowerCommandRun>(line, record_.board, options_.power_timeout_s, power_log_.get(), now);
}

std::vector<int> AttemptSeries::fds() const
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

void AttemptSeries::add_event(BoardEvent::Kind kind, const std::string& what)
{
    events_.push_back({record_.board.label, kind, what, std::chrono::system_clock::now()});
}

std::vector<BoardEvent> AttemptSeries::take_events()
{
    std::vector<BoardEvent> taken;
    taken.swap(events_);
    return taken;
}

long AttemptSeries::silent_seconds(Clock::time_point now) const
{
    if (!child_ || record_.running_test < 0 || record_.verdict != Verdict::RUNNING)
        return 0;
    return static_cast<long>(seconds_between(last_byte_, now));
}

std::string AttemptSeries::burn_in_progress(Clock::time_point now) const
{
    if (!options_.burn_in() || tool_run_ != ToolRun::TESTS || state_ != BoardState::TESTING ||
        record_.verdict != Verdict::RUNNING)
        return "";
    if (options_.duration_s <= 0)
        return "pass " + std::to_string(record_.passes + 1) + " of " + std::to_string(options_.passes);
    const long elapsed = static_cast<long>(seconds_between(started_, now) / 60);
    const long total = static_cast<long>(options_.duration_s / 60);
    return std::to_string(elapsed) + " min of " + std::to_string(total) + " min, " +
           std::to_string(std::max(0L, total - elapsed)) + " min left";
}

double AttemptSeries::progress(Clock::time_point now) const
{
    if (record_.verdict != Verdict::RUNNING)
        return 1;
    if (options_.duration_s > 0)
        return std::min(1.0, seconds_between(started_, now) / options_.duration_s);
    if (options_.burn_in())
        return static_cast<double>(record_.passes) / static_cast<double>(options_.passes);
    long verdicts = 0;
    for (int t = 0; t < BOARD_TEST_COUNT; ++t)
        verdicts += record_.counts[t][0] + record_.counts[t][1];
    return std::min(1.0, static_cast<double>(verdicts) / BOARD_TEST_COUNT);
}

bool AttemptSeries::advance(Clock::time_point now, bool readable)
{
    bool changed = false;
    if (options_.burn_in() && state_ == BoardState::TESTING && tool_run_ == ToolRun::TESTS && !interrupted_on_purpose_ &&
        seconds_between(progress_told_, now) >= 60) {
        if (record_.passes > 0)
            add_event(BoardEvent::Kind::PROGRESS, "burn-in: " + std::to_string(record_.passes) + " passes, " +
                                                      std::to_string(record_.failures()) + " failed tests; " +
                                                      burn_in_progress(now));
        progress_told_ = now;
    }
    if (power_ && power_->advance(now)) {
        power_done(now);
        changed = true;
    }
    if (state_ == BoardState::POWERED_OFF && seconds_between(off_since_, now) >= options_.power_cycle_wait_s) {
        launch_tool(now);
        changed = true;
    }
    if (child_)
        changed = advance_tool(now, readable) || changed;
    if (state_ == BoardState::ATTEMPT_OVER && !child_ && !power_) {
        attempt_over(now);
        changed = true;
    }
    return changed;
}

void AttemptSeries::power_done(Clock::time_point now)
{
    const std::string failure = power_->failure();
    power_.reset();
    if (!failure.empty()) {
        power_failed_ = true;
        add_event(BoardEvent::Kind::PROBLEM, failure);
    }
    // After a failure in burn-in, the board failed whatever its switch does.
    const bool failed_already = tool_run_ == ToolRun::VERBOSE_FOLLOW_UP;
    if (!failure.empty() && failed_already)
        record_.power_problem = failure;
    switch (state_) {
    case BoardState::POWERING_OFF:
        if (!failure.empty()) {
            finish(failed_already ? Verdict::FAILED : Verdict::NOT_TESTED, failure);
            return;
        }
        state_ = BoardState::POWERED_OFF;
        off_since_ = now;
        record_.phase = Phase::POWERED_OFF;
        break;
    case BoardState::TESTING:
        // A board that did not get its power was never tested.
        if (!failure.empty()) {
            interrupted_on_purpose_ = true;
            if (child_)
                child_->signal(SIGTERM);
            finish(failed_already ? Verdict::FAILED : Verdict::NOT_TESTED, failure);
        }
        break;
    case BoardState::FINAL_POWER_OFF:
        record_.power_problem = failure;
        state_ = BoardState::DONE;
        break;
    case BoardState::ATTEMPT_OVER:
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

bool AttemptSeries::retest_due() const
{
    return stop_requests_ == 0 && !power_failed_ && record_.retest - first_retest_ < options_.retests &&
           (record_.verdict == Verdict::FAILED || record_.verdict == Verdict::HUNG);
}

void AttemptSeries::attempt_over(Clock::time_point now)
{
    tell_verdict();
    if (retest_due()) {
        earlier_.push_back(record_);
        earlier_.back().final_attempt = false;
        AttemptRecord next;
        next.board = record_.board;
        next.retest = record_.retest + 1;
        next.power_log = record_.power_log;
        next.operator_name = record_.operator_name;
        next.golden = record_.golden;
        next.fixture_cycles = record_.fixture_cycles;
        next.after_repair = record_.after_repair;
        next.log = log_dir_ + "/" + log_stem() + "-retest" + std::to_string(next.retest) + ".log";
        record_ = next;
        output_ = ToolOutput();
        add_event(BoardEvent::Kind::RETEST, "retest " + std::to_string(record_.retest - first_retest_) + " of " +
                                                std::to_string(options_.retests));
        start_attempt(now);
        return;
    }
    for (const AttemptRecord& earlier : earlier_)
        record_.intermittent = record_.intermittent || outcome_of(earlier) != outcome_of(record_);
    // Earlier today only what tested the board counts; so does this attempt.
    const bool tested = record_.verdict == Verdict::PASSED || record_.verdict == Verdict::FAILED ||
                        record_.verdict == Verdict::HUNG;
    for (const std::string& earlier : earlier_outcomes_)
        record_.intermittent = record_.intermittent || (tested && earlier != outcome_of(record_));
    if (powered() && !options_.keep_power && !power_failed_ && stop_requests_ < 2) {
        state_ = BoardState::FINAL_POWER_OFF;
        run_power(options_.power_off, now);
    } else {
        state_ = BoardState::DONE;
    }
}

std::vector<int> AttemptSeries::take_finished()
{
    const int complete = static_cast<int>(earlier_.size()) + (done() ? 1 : 0);
    std::vector<int> finished;
    for (; finished_taken_ < complete; ++finished_taken_)
        finished.push_back(finished_taken_);
    return finished;
}

std::vector<AttemptRecord> AttemptSeries::attempts() const
{
    std::vector<AttemptRecord> all = earlier_;
    all.push_back(record_);
    return all;
}

void AttemptSeries::stop()
{
    ++stop_requests_;
    if (child_ && !child_->ended()) {
        // Asked twice, the station does not wait for dudedoved any more.
        child_->signal(stop_requests_ > 1 ? SIGKILL : SIGINT);
        interrupted_on_purpose_ = true;
    }
    if (state_ == BoardState::POWERING_OFF || state_ == BoardState::POWERED_OFF) {
        power_.reset();
        if (record_.failures() > 0)
            finish(Verdict::FAILED);
        else
            finish(Verdict::STOPPED, "the station was stopped");
    }
    // ... nor for a power command.
    if (stop_requests_ > 1 && power_) {
        power_.reset();
        if (state_ == BoardState::FINAL_POWER_OFF)
            state_ = BoardState::DONE;
    }
}

void AttemptSeries::finish(Verdict verdict, const std::string& problem)
{
    state_ = BoardState::ATTEMPT_OVER;
    record_.verdict = verdict;
    record_.problem = problem;
    record_.end = std::chrono::system_clock::now();
    record_.phase = Phase::DONE;
}

// Told once the attempt is over, power commands and all: a power-on that
// fails after dudedoved was through changes the verdict first.
void AttemptSeries::tell_verdict()
{
    std::string line = "done: " + verdict_text(record_);
    if (record_.verdict == Verdict::HUNG)
        line += hung_where(record_);
    if (!record_.problem.empty())
        line += " (" + record_.problem + ")";
    add_event(BoardEvent::Kind::VERDICT, line);
}

} // namespace korvastation
