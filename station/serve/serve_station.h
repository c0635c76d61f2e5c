// A station that serves its fixtures all day: each fixture runs its own
// loop from a scan to a verdict, every attempt is recorded as it ends, and
// the operator's page and terminal take the scans. It ends when asked to
// (SIGTERM, CTRL-C), recording the attempts in flight as stopped.
#ifndef KORVASTATION_SERVE_STATION_H
#define KORVASTATION_SERVE_STATION_H

#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "station/outputs/display.h"
#include "station/outputs/line_metrics.h"
#include "station/page/dashboard.h"
#include "station/run/diagnosis_worker.h"
#include "station/serve/action_mailbox.h"
#include "station/serve/attempt_hook.h"
#include "station/serve/day_folder.h"
#include "station/serve/fixture.h"
#include "station/serve/scan_desk.h"
#include "station/serve/serve_config.h"
#include "station/store/database_worker.h"

namespace korvastation {

// What the operator was told last, for the page.
struct OperatorMessage {
    std::string text;
    bool refused = false;
    unsigned long number = 0;  // a new message has a new number
};

class ServeStation {
public:
    ServeStation(ServeConfig config, FILE* terminal, int scans_fd);
    ~ServeStation();

    // Finds dudedoved, opens the database (and reads what the day held),
    // the records' folder and the page. A reason in one line when it
    // cannot: nothing was started then.
    korvasim::Result open();
    // Serves until interrupts grows: the first request stops the boards
    // under test, a second does not wait for them. The exit status.
    int run(const std::atomic<int>& interrupts);

    // What the page shows, as JSON.
    std::string page_state(std::chrono::steady_clock::time_point now) const;
    // What GET /metrics answers now.
    std::string metrics_text() const;

private:
    using Clock = std::chrono::steady_clock;

    void read_the_day(ResultStore& store);
    void poll_inputs(const std::atomic<int>& interrupts, int stops_sent);
    void read_scans();
    void answer_letters(Clock::time_point now);
    ActionReply act(const PageAction& action);
    ActionReply scan(const std::string& text, int chosen);
    ActionReply answer(const ScanAnswer& scanned);
    void start_board(size_t fixture, const std::string& serial, Clock::time_point now);
    bool advance_fixtures(Clock::time_point now, const std::vector<bool>& readable);
    bool take_finished_attempts();
    bool take_diagnoses();
    void record(const BoardRecord& attempt, const std::string& run);
    void check_hook(Clock::time_point now);
    bool refresh_yield(Clock::time_point now);
    void say(const std::string& text, bool refused);
    std::string busy(size_t fixture) const;
    int fixture_named(const std::string& name) const;

    ServeConfig config_;
    Display events_;
    int scans_fd_;  // the terminal's scans; -1 once it ended
    std::string scans_partial_;
    std::string station_name_, run_id_, operator_;
    DayFolder days_;
    std::vector<std::unique_ptr<Fixture>> fixtures_;
    std::vector<std::string> board_runs_;  // each fixture's board's run, in the database
    unsigned long boards_started_ = 0;
    std::unique_ptr<ScanDesk> desk_;
    std::unique_ptr<DatabaseWorker> database_;
    std::unique_ptr<DiagnosisWorker> diagnoses_;
    // Failed attempts waiting for their diagnosis, by ticket: the fixture
    // may have a new board by the time it comes.
    std::map<size_t, std::pair<BoardRecord, std::string>> diagnosing_;
    size_t next_ticket_ = 0;
    AttemptHook hook_;
    std::set<std::string> passed_today_;
    std::string day_;
    YieldTally yield_;
    Clock::time_point yield_asked_;
    bool yield_wanted_ = false;
    OperatorMessage message_;
    std::unique_ptr<ActionMailbox> mailbox_;
    std::unique_ptr<Dashboard> page_;
    std::unique_ptr<LineMetrics> metrics_;
    bool stopping_ = false;
};

} // namespace korvastation

#endif
