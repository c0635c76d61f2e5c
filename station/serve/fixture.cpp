#include "station/serve/fixture.h"

#include "station/outputs/records.h"

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

std::string Fixture::busy() const
{
    if (state_ == State::TESTING)
        return "fixture " + spec_.name + " is testing " + board_.label;
    if (state_ == State::CHECK)
        return "fixture " + spec_.name + " waits to be checked: its last boards all " + suspicion_;
    return "";
}

void Fixture::start_board(const BoardSpec& board, const std::string& operator_name, const std::string& log_dir,
                          Clock::time_point now)
{
    board_ = board;
    operator_name_ = operator_name;
    run_ = std::make_unique<BoardRun>(board_, settings_, log_dir);
    run_->record().operator_name = operator_name_;
    state_ = State::TESTING;
    run_->start(now);
}

std::vector<int> Fixture::fds() const
{
    return state_ == State::TESTING ? run_->fds() : std::vector<int>{};
}

bool Fixture::advance(Clock::time_point now, bool readable)
{
    if (state_ != State::TESTING)
        return false;
    const bool changed = run_->advance(now, readable);
    // A retest's record carries its operator as the first attempt's did.
    if (run_->record().operator_name.empty())
        run_->record().operator_name = operator_name_;
    if (run_->done())
        board_done();
    return changed || run_->done();
}

void Fixture::stop()
{
    if (state_ == State::TESTING)
        run_->stop();
}

std::vector<BoardEvent> Fixture::take_events()
{
    return run_ ? run_->take_events() : std::vector<BoardEvent>{};
}

void Fixture::confirm()
{
    if (state_ != State::CHECK)
        return;
    state_ = State::IDLE;
    suspicion_.clear();
    outcomes_.clear();
}

void Fixture::remember(FixtureBoard board)
{
    last_.push_front(std::move(board));
    if (last_.size() > LAST_BOARDS)
        last_.pop_back();
}

// The same failure on boards one after another is more likely the
// fixture's (a bent pin, a loose cable) than theirs. A board the station
// stopped tells nothing of either.
void Fixture::board_done()
{
    const BoardRecord& r = run_->record();
    state_ = State::VERDICT;
    if (r.verdict == Verdict::STOPPED)
        return;
    remember({r.board.label, verdict_text(r), outcome_of(r), iso_time(r.end)});
    const size_t window = static_cast<size_t>(health_window_);
    if (window == 0)
        return;
    outcomes_.push_front(r.verdict == Verdict::PASSED ? "" : outcome_of(r));
    if (outcomes_.size() > window)
        outcomes_.pop_back();
    if (outcomes_.size() < window || outcomes_.front().empty())
        return;
    for (const std::string& outcome : outcomes_)
        if (outcome != outcomes_.front())
            return;
    suspicion_ = outcomes_.front();
    state_ = State::CHECK;
}

} // namespace korvastation
