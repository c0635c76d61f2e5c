#include "station/serve/fixture.h"

#include <algorithm>

#include "station/run/record_text.h"

namespace korvastation {

using Clock = std::chrono::steady_clock;

const char* fixture_state_name(Fixture::State state)
{
    switch (state) {
    case Fixture::State::IDLE: return "idle";
    case Fixture::State::TESTING: return "testing";
    case Fixture::State::VERDICT: return "verdict";
    case Fixture::State::CHECK: return "check the fixture";
    }
    return "?";
}

Fixture::Fixture(FixtureSpec spec, const StationSettings& settings, int health_window)
    : spec_(std::move(spec)), settings_(settings), health_window_(health_window)
{
}

std::string Fixture::busy(const std::string& serial, std::chrono::system_clock::time_point now) const
{
    if (state_ == State::TESTING)
        return "fixture " + spec_.name + " is testing " + series_->record().board.label;
    if (state_ == State::CHECK)
        return "fixture " + spec_.name + " waits to be checked: " + suspicion_;
    if (serial != spec_.golden && golden_due(now))
        return "fixture " + spec_.name + " waits for its golden board " + spec_.golden + ": test it first";
    return "";
}

bool Fixture::golden_due(std::chrono::system_clock::time_point now) const
{
    if (spec_.golden.empty())
        return false;
    if (!golden_passed_ || day_of(*golden_passed_) != day_of(now))
        return true;
    return spec_.golden_every_s > 0 &&
           now - *golden_passed_ >= std::chrono::duration<double>(spec_.golden_every_s);
}

void Fixture::golden_passed(std::chrono::system_clock::time_point when)
{
    if (!golden_passed_ || when > *golden_passed_)
        golden_passed_ = when;
}

void Fixture::start_board(const BoardSpec& board, const std::string& operator_name, const std::string& log_dir,
                          Clock::time_point now, int earlier_attempts, std::set<std::string> earlier_outcomes)
{
    series_ = std::make_shared<AttemptSeries>(board, settings_, log_dir);
    series_->set_operator(operator_name);
    series_->continue_day(earlier_attempts, std::move(earlier_outcomes));
    series_->record().golden = !spec_.golden.empty() && board.label == spec_.golden;
    state_ = State::TESTING;
    series_->start(now);
}

bool Fixture::update()
{
    if (state_ != State::TESTING || !series_->done())
        return false;
    board_done();
    return true;
}

void Fixture::stop()
{
    if (state_ == State::TESTING)
        series_->stop();
}

void Fixture::confirm()
{
    if (state_ != State::CHECK)
        return;
    state_ = State::IDLE;
    suspicion_.clear();
    outcomes_.clear();
    check_due_ = false;
}

void Fixture::remember(RecentBoard board)
{
    last_.push_front(std::move(board));
    if (last_.size() > LAST_BOARDS)
        last_.pop_back();
}

void Fixture::board_done()
{
    const AttemptRecord& r = series_->record();
    state_ = State::VERDICT;
    if (r.verdict != Verdict::STOPPED && !r.station_trouble)
        remember({r.board.label, verdict_text(r), iso_time(r.end)});
    if (check_due_)
        state_ = State::CHECK;
    check_due_ = false;
}

// The same fault on boards one after another is more likely the fixture's
// (a bent pin, a loose cable) than theirs: alike means one diagnosis, or
// one way of failing where there is none (a hang in one test, no wake-up).
// A board the station stopped, or could not test for its own trouble,
// tells nothing of either.
void Fixture::judge(const AttemptRecord& r)
{
    if (r.verdict == Verdict::STOPPED || r.station_trouble)
        return;
    if (r.golden) {
        judge_golden(r);
        return;
    }
    const size_t window = static_cast<size_t>(health_window_);
    if (window == 0)
        return;
    std::string alike;
    if (r.verdict == Verdict::FAILED && !r.diagnosis.empty())
        alike = "failed: " + diagnosis_of(r);
    else if (r.verdict != Verdict::PASSED)
        alike = outcome_of(r);
    outcomes_.push_front(alike);
    if (outcomes_.size() > window)
        outcomes_.pop_back();
    if (outcomes_.size() < window || outcomes_.front().empty())
        return;
    for (const std::string& outcome : outcomes_)
        if (outcome != outcomes_.front())
            return;
    to_check((window == 1 ? "its last board " : "its last " + std::to_string(window) + " boards all ") + outcomes_.front());
}

// A known-good board proves the fixture: one that fails, hangs or passes
// only on a retest says the fixture is what changed.
void Fixture::judge_golden(const AttemptRecord& r)
{
    if (r.verdict == Verdict::PASSED && !r.intermittent && r.retest == 0) {
        golden_passed(r.end);
        return;
    }
    to_check("its golden board " + r.board.label + " " +
             (r.verdict == Verdict::PASSED ? "passed only on a retest" : outcome_of(r)));
}

void Fixture::to_check(const std::string& why)
{
    suspicion_ = why;
    // A board already in the fixture finishes first.
    if (state_ == State::TESTING)
        check_due_ = true;
    else
        state_ = State::CHECK;
}

std::string fixture_state_label(Fixture::State state)
{
    std::string name = fixture_state_name(state);
    std::replace(name.begin(), name.end(), ' ', '_');
    return name;
}

} // namespace korvastation
