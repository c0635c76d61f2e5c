// A batch run of the station: the boards named on the command line, each
// on its port by its own dudedoved, from the start to the exit status, with
// the table or event lines, the record files, the database and the live
// page. Its boards all start at once; it ends when they are all done.
#ifndef KORVASTATION_BATCH_STATION_H
#define KORVASTATION_BATCH_STATION_H

#include <atomic>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "station/core/station_core.h"
#include "station/outputs/display.h"
#include "station/outputs/record_files.h"

namespace korvastation {

class BatchStation {
public:
    using Clock = std::chrono::steady_clock;

    // display: where the table or the event lines go; clock: the loop's.
    BatchStation(StationSettings settings, std::unique_ptr<Display> display,
                 std::function<Clock::time_point()> clock = Clock::now);

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
    korvasim::Result open_outputs();
    void remember(const std::vector<BoardEvent>& events);
    void publish(Clock::time_point now);
    void show(bool changed, const std::vector<BoardEvent>& events, bool all_done, bool resized);

    StationSettings settings_;
    StationCore core_;
    std::unique_ptr<Display> display_;
    std::string log_dir_;
    std::unique_ptr<RecordFilesSink> json_, junit_;
    bool database_failed_ = false;  // out of reach from the start
    std::unique_ptr<PageServer> page_;
    std::string page_url_;
    std::vector<std::shared_ptr<AttemptSeries>> boards_;
    Clock::time_point last_drawn_, published_;
    static const size_t RECENT_EVENTS = 20;
    std::deque<BoardEvent> recent_events_;  // the last RECENT_EVENTS, for the page
};

} // namespace korvastation

#endif
