// One fixture of a station that serves all day: the board scanned into it,
// that board's series of attempts (which the station's core advances), its
// verdict shown until the next scan, and the fixture's health (boards that
// keep failing the same way point at it, judged once their records are
// complete with the diagnosis).
#ifndef KORVASTATION_FIXTURE_H
#define KORVASTATION_FIXTURE_H

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "station/run/attempt_series.h"
#include "station/serve/serve_config.h"

namespace korvastation {

// A board the fixture saw, as its panel lists it.
struct RecentBoard {
    std::string serial;
    std::string verdict;  // its final verdict's words
    std::string when;     // ISO time of its end
};

class Fixture {
public:
    enum class State {
        IDLE,     // waiting for a board's serial number
        TESTING,  // a board is under test
        VERDICT,  // the last board's verdict stands until the next scan
        CHECK,    // its boards kept failing the same way: the operator looks first
    };

    Fixture(FixtureSpec spec, const StationSettings& settings, int health_window);

    const FixtureSpec& spec() const { return spec_; }
    State state() const { return state_; }
    // Why the board serial cannot go in now ("testing KV000123"); empty
    // when it can. now: the wall clock, for the golden board's turn.
    std::string busy(const std::string& serial,
                     std::chrono::system_clock::time_point now = std::chrono::system_clock::now()) const;
    // Starts the board's test. board: its spec with the serial as label;
    // earlier_attempts and earlier_outcomes: the board's earlier today.
    // The fixture's golden board is tested as such.
    void start_board(const BoardSpec& board, const std::string& operator_name, const std::string& log_dir,
                     std::chrono::steady_clock::time_point now, int earlier_attempts = 0,
                     std::set<std::string> earlier_outcomes = {});
    // Whether the fixture takes its golden board before any other now:
    // first each day, and again golden_every after its last pass.
    bool golden_due(std::chrono::system_clock::time_point now) const;
    // The golden board passed in it (a restart reads it from the day).
    void golden_passed(std::chrono::system_clock::time_point when);
    // After the core's turn: a board that is done leaves its verdict. True
    // when the state changed.
    bool update();
    // The station stops: the board's test is interrupted.
    void stop();
    // The board's series, current or last; null before the first board.
    const std::shared_ptr<AttemptSeries>& series() const { return series_; }
    // A board's final attempt, its record complete (diagnosed): boards
    // that keep failing alike put the fixture to be checked, and so does
    // a golden board that did not pass at once.
    void judge(const AttemptRecord& final_attempt);
    // The operator checked the fixture: it takes boards again.
    void confirm();
    // Why it waits to be checked, in CHECK ("its last boards all failed
    // SDRAM", "its golden board KVG1 hung in SRAM").
    const std::string& suspicion() const { return suspicion_; }
    // Its boards, newest first, up to LAST_BOARDS; a restart's earlier ones
    // come by remember().
    const std::deque<RecentBoard>& last_boards() const { return last_; }
    void remember(RecentBoard board);
    static constexpr size_t LAST_BOARDS = 5;

private:
    void board_done();
    void judge_golden(const AttemptRecord& r);
    void to_check(const std::string& why);

    FixtureSpec spec_;
    const StationSettings& settings_;
    int health_window_;
    State state_ = State::IDLE;
    std::shared_ptr<AttemptSeries> series_;
    std::deque<RecentBoard> last_;
    std::string suspicion_;
    // The boards' outcomes since the last confirmation, newest first, as
    // many as the health window; a pass is "".
    std::deque<std::string> outcomes_;
    bool check_due_ = false;  // judged suspect while a board was in it
    std::optional<std::chrono::system_clock::time_point> golden_passed_;
};

// The fixture's state as the page and the terminal name it.
const char* fixture_state_name(Fixture::State state);
// ... and as a metric's label: one word.
std::string fixture_state_label(Fixture::State state);

} // namespace korvastation

#endif
