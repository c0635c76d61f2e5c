// One board on the station: its dudedoved process, what it printed, its
// time-outs, and the record that comes of it.
#ifndef KORVASTATION_ATTEMPT_SERIES_H
#define KORVASTATION_ATTEMPT_SERIES_H

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "station/run/board_event.h"
#include "station/run/attempt_record.h"
#include "station/run/child_process.h"
#include "station/run/power_command.h"
#include "station/run/station_settings.h"
#include "station/run/tool_output.h"

namespace korvastation {

class AttemptSeries {
public:
    AttemptSeries(const BoardSpec& board, const StationSettings& options, const std::string& log_dir);

    // Starts dudedoved; a board that cannot be started is done at once. The
    // time points given here and to advance() are the run's only clock.
    void start(std::chrono::steady_clock::time_point now);
    // The pipes to poll while the board runs.
    std::vector<int> fds() const;
    // Reads what came (when readable), applies the time-outs and moves on
    // when a process ends. True when the record changed.
    bool advance(std::chrono::steady_clock::time_point now, bool readable);
    // The station stops: the board's dudedoved is interrupted (killed when
    // asked again); no retest follows.
    void stop();
    bool done() const { return state_ == BoardState::DONE; }
    // The board was tested earlier today: its attempts go on from their
    // number (the first of this series is a retest), and an outcome of
    // theirs unlike its last one makes it intermittent. Before start().
    void continue_day(int earlier_attempts, std::set<std::string> earlier_outcomes);
    // Who put the board in, in every attempt's record from now on.
    void set_operator(const std::string& name) { record_.operator_name = name; }
    // The attempt under way, or the last one.
    const AttemptRecord& record() const { return record_; }
    AttemptRecord& record() { return record_; }
    // Every attempt, the last one final.
    std::vector<AttemptRecord> attempts() const;
    // Attempt k (0 the first, then its retests).
    AttemptRecord& attempt(int k) { return static_cast<size_t>(k) < earlier_.size() ? earlier_[k] : record_; }
    // The attempts whose records became complete since the last call (a
    // retest started after it, or the board is done), by number.
    std::vector<int> take_finished();

    // What happened since the last call.
    std::vector<BoardEvent> take_events();

    // Seconds since dudedoved last said anything while the board is in a
    // test (0 otherwise): a silent board shows it.
    long silent_seconds(std::chrono::steady_clock::time_point now) const;
    // How far a burn-in is, as the operator reads it ("pass 12 of 100",
    // "12 min of 30 min, 18 min left"); empty outside a burn-in's testing.
    std::string burn_in_progress(std::chrono::steady_clock::time_point now) const;
    // How far the board is, from 0 to 1: the tests of its pass, or its
    // burn-in's passes or time.
    double progress(std::chrono::steady_clock::time_point now) const;

private:
    enum class ToolRun { TESTS, VERBOSE_FOLLOW_UP };
    // Where the board is between power and dudedoved.
    enum class BoardState { POWERING_OFF, POWERED_OFF, TESTING, ATTEMPT_OVER, FINAL_POWER_OFF, DONE };

    void start_attempt(std::chrono::steady_clock::time_point now);
    // dudedoved for the stage: the run itself, or the verbose pass after it.
    void launch_tool(std::chrono::steady_clock::time_point now);
    bool advance_tool(std::chrono::steady_clock::time_point now, bool readable);
    void run_power(const PowerCommandLine& line, std::chrono::steady_clock::time_point now);
    void power_done(std::chrono::steady_clock::time_point now);
    void attempt_over(std::chrono::steady_clock::time_point now);
    bool retest_due() const;
    bool powered() const { return options_.power_on.given(); }
    std::string log_stem() const;

    void launch(const std::vector<std::string>& args);
    void on_event(const ToolOutputEvent& e, std::chrono::steady_clock::time_point now);
    void process_ended(std::chrono::steady_clock::time_point now);
    void finish(Verdict verdict, const std::string& problem = "");
    void tell_verdict();
    void hang(int test, const std::string& why);
    void add_event(BoardEvent::Kind kind, const std::string& what);
    bool enough_passes(std::chrono::steady_clock::time_point now) const;
    static double seconds_between(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b);

    const StationSettings& options_;
    AttemptRecord record_;
    ToolRun tool_run_ = ToolRun::TESTS;
    std::unique_ptr<ChildProcess> child_;
    ToolOutput output_;
    std::string errors_;                   // dudedoved's standard error
    std::chrono::steady_clock::time_point started_, last_byte_, waiting_since_, test_since_;
    bool waiting_for_board_ = false;
    bool interrupted_on_purpose_ = false;                  // the station interrupted dudedoved on purpose
    int stop_requests_ = 0;                        // ... because the station stops
    std::vector<BoardEvent> events_;
    BoardState state_ = BoardState::TESTING;
    std::unique_ptr<PowerCommandRun> power_;
    bool power_on_sent_ = false;           // in this attempt
    bool power_failed_ = false;            // a power command failed: the switch is not trusted
    std::chrono::steady_clock::time_point off_since_;
    std::chrono::steady_clock::time_point progress_told_;  // the last burn-in progress line
    std::vector<AttemptRecord> earlier_;     // the attempts before this one
    int first_retest_ = 0;                   // the first attempt's number: the board's attempts earlier today
    std::set<std::string> earlier_outcomes_;  // what they came to
    int finished_taken_ = 0;               // attempts handed out by take_finished
    std::string log_dir_;
    std::unique_ptr<FILE, int (*)(FILE*)> power_log_{nullptr, fclose};
};

} // namespace korvastation

#endif
