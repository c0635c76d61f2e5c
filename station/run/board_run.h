// One board on the station: its dudedoved process, what it printed, its
// time-outs, and the record that comes of it.
#ifndef KORVASTATION_BOARD_RUN_H
#define KORVASTATION_BOARD_RUN_H

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "station/run/child_process.h"
#include "station/run/power_command.h"
#include "sim/analysis/fault_catalogue.h"
#include "station/cli/station_options.h"
#include "station/run/tool_output.h"

namespace korvastation {

enum class Verdict {
    RUNNING,
    PASSED,
    FAILED,      // a test failed
    HUNG,        // a time-out: no wake-up, or a silent test
    LOST,        // the port went away, or dudedoved ended early
    NOT_TESTED,  // the port (or the log) could not be opened
    STOPPED,     // the station was stopped first
};

const char* verdict_name(Verdict v);
// Whether the station could not test the board (exit status 2).
bool untested(Verdict v);

struct BoardRecord {
    BoardSpec board;
    std::chrono::system_clock::time_point start, end;
    Verdict verdict = Verdict::RUNNING;
    std::string phase = "starting";
    int running_test = NO_BOARD_TEST;  // the BoardTest under way
    int hung_test = NO_BOARD_TEST;     // with HUNG: the BoardTest, or none before the tests
    std::string hung_in;        // "wake-up", "start-up" or the test, with HUNG
    std::string problem;        // why it is HUNG, LOST or NOT_TESTED
    long passes = 0;            // complete passes
    long counts[BOARD_TEST_COUNT][2] = {};     // per test: passed, failed
    long first_failure[BOARD_TEST_COUNT] = {}; // per test: the pass it first failed in, 0 if none
    double seconds[BOARD_TEST_COUNT] = {};     // per test: the time of all its passes
    std::string failure_report[BOARD_TEST_COUNT];  // per test: its report in the verbose log, when it failed
    std::string log;            // dudedoved's log of the run
    std::string verbose_log;    // of the verbose pass for the diagnosis, if any
    std::vector<korvasim::CatalogueFault> diagnosis;
    std::string diagnosis_note; // when the log could not be diagnosed
    int retest = 0;             // 0: the board's first attempt, K: its K-th retest
    bool final_attempt = true;  // the attempt whose verdict is the board's
    bool intermittent = false;  // with the final attempt: the attempts disagree
    std::string power_log;      // the power commands' output, when there are any
    std::string power_problem;  // a power command at the end failed

    long failures() const { return counts[0][1] + counts[1][1] + counts[2][1]; }
};

// " in FLASH", " at the wake-up": where a hung board stopped.
std::string hung_where(const BoardRecord& r);
// The verdict as the board has it: "passed on retest 2" apart from "passed".
std::string verdict_text(const BoardRecord& r);

class BoardRun {
public:
    BoardRun(const BoardSpec& board, const StationOptions& options, const std::string& log_dir);

    // Starts dudedoved; a board that cannot be started is done at once.
    void start();
    // The pipes to poll while the board runs.
    std::vector<int> fds() const;
    // Reads what came (when readable), applies the time-outs and moves on
    // when a process ends. True when the record changed.
    bool pump(std::chrono::steady_clock::time_point now, bool readable);
    // The station stops: the board's dudedoved is interrupted (killed when
    // asked again); no retest follows.
    void stop();
    bool done() const { return step_ == Step::DONE; }
    // The attempt under way, or the last one.
    const BoardRecord& record() const { return record_; }
    BoardRecord& record() { return record_; }
    // Every attempt, the last one final.
    std::vector<BoardRecord> attempts() const;
    // Attempt k (0 the first, then its retests).
    BoardRecord& attempt(int k) { return static_cast<size_t>(k) < earlier_.size() ? earlier_[k] : record_; }
    // The attempts whose records became complete since the last call (a
    // retest started after it, or the board is done), by number.
    std::vector<int> take_finished();
    template <typename F> void for_each_attempt(F f)
    {
        for (BoardRecord& r : earlier_)
            f(r);
        f(record_);
    }

    // One line per event, for output that is not a terminal.
    std::vector<std::string> take_events();

    // Seconds since dudedoved last said anything while the board is in a
    // test (0 otherwise): a silent board shows it.
    long silent_seconds(std::chrono::steady_clock::time_point now) const;
    // How far a burn-in is, as the operator reads it ("pass 12 of 100",
    // "12 min of 30 min, 18 min left"); empty outside a burn-in's testing.
    std::string burn_in_progress(std::chrono::steady_clock::time_point now) const;

private:
    enum class Stage { MAIN, VERBOSE_FOLLOW_UP };
    // Where the board is between power and dudedoved.
    enum class Step { POWERING_OFF, POWERED_OFF, TESTING, ATTEMPT_OVER, FINAL_POWER_OFF, DONE };

    void start_attempt();
    // dudedoved for the stage: the run itself, or the verbose pass after it.
    void launch_tool();
    bool pump_tool(std::chrono::steady_clock::time_point now, bool readable);
    void run_power(const PowerCommandLine& line);
    void power_done(std::chrono::steady_clock::time_point now);
    void attempt_over();
    bool retest_due() const;
    bool powered() const { return options_.power_on.given(); }

    void launch(const std::vector<std::string>& args);
    void on_event(const ToolOutputEvent& e, std::chrono::steady_clock::time_point now);
    void process_ended();
    void finish(Verdict verdict, const std::string& problem = "");
    void hang(int test, const std::string& why);
    void tell(const std::string& event);
    bool enough_passes(std::chrono::steady_clock::time_point now) const;

    const StationOptions& options_;
    BoardRecord record_;
    Stage stage_ = Stage::MAIN;
    std::unique_ptr<ChildProcess> child_;
    ToolOutput output_;
    std::string errors_;                   // dudedoved's standard error
    std::chrono::steady_clock::time_point started_, last_byte_, waiting_since_, test_since_;
    bool waiting_for_board_ = false;
    bool ending_ = false;                  // the station interrupted dudedoved on purpose
    int stops_ = 0;                        // ... because the station stops
    std::vector<std::string> events_;
    Step step_ = Step::TESTING;
    std::unique_ptr<PowerCommandRun> power_;
    bool power_on_sent_ = false;           // in this attempt
    bool power_failed_ = false;            // a power command failed: the switch is not trusted
    std::chrono::steady_clock::time_point off_since_;
    std::chrono::steady_clock::time_point progress_told_;  // the last burn-in progress line
    std::vector<BoardRecord> earlier_;     // the attempts before this one
    int finished_taken_ = 0;               // attempts handed out by take_finished
    std::string log_dir_;
    std::unique_ptr<FILE, int (*)(FILE*)> power_log_{nullptr, fclose};
};

} // namespace korvastation

#endif
