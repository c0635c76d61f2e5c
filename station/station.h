// One run of the station: its boards, each by its own dudedoved, the records
// of their attempts, the database and the live page, from the start to the
// exit status. main only parses the command line and calls it.
#ifndef KORVASTATION_STATION_H
#define KORVASTATION_STATION_H

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "station/run/board_run.h"
#include "station/page/dashboard.h"
#include "station/page/dashboard_state.h"
#include "station/store/database_worker.h"
#include "station/run/diagnosis_worker.h"
#include "station/outputs/display.h"
#include "station/outputs/line_metrics.h"
#include "station/outputs/records.h"
#include "station/cli/station_options.h"

namespace korvastation {

const int EXIT_FAILED = 1;
const int EXIT_UNTESTED = 2;

// The one-line messages of the station, on standard error.
void tell_user(const std::string& message);

class Station {
public:
    // display: where the table or the event lines go.
    Station(StationSettings options, std::unique_ptr<Display> display);

    // Finds dudedoved, makes the log folder, opens the record files, the
    // database and the page. A reason in one line when it cannot: nothing
    // was started then.
    korvasim::Result open();
    // Runs every board to its end. interrupts counts the requests to stop
    // (CTRL-C, SIGTERM, SIGHUP): the first stops the boards, the second
    // does not wait for them; resized asks for the table anew.
    void run(const std::atomic<int>& interrupts, std::atomic<bool>& resized);
    // Waits for the diagnoses and the database, writes the records and the
    // summary. The exit status.
    int finish(const std::atomic<int>& interrupts);
    // With a page: it keeps showing the run's end until one more request
    // to stop.
    void keep_page(const std::atomic<int>& interrupts);

private:
    using Clock = std::chrono::steady_clock;

    // The attempts whose records are complete: diagnosed when they failed,
    // then into the database. True when a record changed.
    bool take_finished_attempts();
    bool take_diagnoses();
    void store(const BoardRecord& attempt);
    bool refresh_line_today(Clock::time_point now);
    void ask_line_today(const std::string& day);
    void remember(const std::vector<BoardEvent>& events);
    void publish();
    void show(bool changed, const std::vector<BoardEvent>& events, bool all_done, bool resized);

    StationSettings options_;
    std::unique_ptr<Display> display_;
    std::string log_dir_, station_name_, run_id_;
    RecordFile json_, junit_;
    std::unique_ptr<DatabaseWorker> database_;
    bool database_failed_ = false;  // out of reach from the start
    std::unique_ptr<DiagnosisWorker> diagnoses_;
    std::unique_ptr<Dashboard> dashboard_;
    std::unique_ptr<LineMetrics> metrics_;
    std::string page_url_;
    LineToday today_;
    std::vector<std::unique_ptr<BoardRun>> runs_;
    Clock::time_point line_asked_, last_drawn_, published_;
    static const size_t RECENT_EVENTS = 20;
    std::deque<BoardEvent> recent_events_;  // the last RECENT_EVENTS, for the page
};

} // namespace korvastation

#endif
