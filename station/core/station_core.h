// The station's core, under both modes: who the station is (its
// dudedoved, its name, this run), one turn of the loop over the boards
// under test beside a mode's own inputs, the pipeline of finished attempts
// to the sinks, the database, the day's yield, the page and its metrics. A
// mode decides only where its boards come from and what it shows.
#ifndef KORVASTATION_STATION_CORE_H
#define KORVASTATION_STATION_CORE_H

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "station/core/attempt_pipeline.h"
#include "station/core/yield_watch.h"
#include "station/outputs/database_sink.h"
#include "station/outputs/line_metrics.h"
#include "station/outputs/records.h"
#include "station/page/page_server.h"
#include "station/run/station_settings.h"

namespace korvastation {

class StationCore {
public:
    using Clock = std::chrono::steady_clock;

    struct Turn {
        Clock::time_point now;
        std::vector<bool> inputs;                     // which of the mode's inputs were readable
        std::vector<std::vector<BoardEvent>> events;  // per board, in the order given
        bool changed = false;                         // a board, a record or the yield moved on
        bool boards_spoke = false;                    // a board's pipes had something
    };

    // clock: the loop's time; the tests' own in the tests.
    explicit StationCore(StationSettings& settings, std::function<Clock::time_point()> clock = Clock::now);

    // Finds dudedoved (or checks the one named by named_by), names the
    // station and makes this run's identity. A reason in one line.
    korvasim::Result identify(const std::string& named_by);
    const std::string& station_name() const { return station_name_; }
    const std::string& run_id() const { return run_id_; }
    // What every record of this station carries besides its attempt.
    RecordContext record_context() const;

    // Sinks take each record in the order they were added.
    void add_sink(AttemptSink* sink) { pipeline_.add_sink(sink); }
    // Where a diagnosis's lines are probed, from the board's netlist.
    void locate_with(std::shared_ptr<const ProbePoints> probes) { pipeline_.locate_with(std::move(probes)); }
    // The database as a sink, and the source of the day's yield.
    void use_database(std::unique_ptr<ResultStore> store, DatabaseWorker::Refused refused);
    DatabaseSink* database() { return database_.get(); }
    bool has_database() const { return database_ != nullptr; }
    // The day's yield, from the database when there is one: a sink too.
    void watch_yield();
    const YieldWatch& yield() const { return *yield_; }

    // Serves the page at address; states: every state a board's place
    // may show, each with its metric's series. The page's URL in *url.
    korvasim::Result serve_page(const std::string& address, PageServer* page, std::vector<std::string> states,
                                std::string* url, std::string* reachable);
    PageServer* page() { return page_; }
    LineMetrics* metrics() { return metrics_.get(); }

    // Polls the boards' pipes and the mode's inputs for up to 100 ms, then
    // advances every board on the loop's clock, takes their finished
    // attempts and the diagnoses, and refreshes the yield.
    Turn turn(const std::vector<std::shared_ptr<AttemptSeries>>& boards, const std::vector<int>& inputs);
    // After a turn in which the boards spoke: dudedoved writes its console
    // a byte at a time, and the loop lets the bytes gather.
    void rest(const Turn& turn) const;
    Clock::time_point now() const { return clock_(); }

    bool diagnosing() const { return pipeline_.diagnosing(); }
    // Waits for every diagnosis, handing each on, then finishes every
    // sink, waiting while keep_waiting() says to; the failures' messages.
    std::vector<std::string> finish(const std::function<bool()>& keep_waiting);

private:
    StationSettings& settings_;
    std::function<Clock::time_point()> clock_;
    std::string station_name_, run_id_;
    AttemptPipeline pipeline_;
    std::unique_ptr<DatabaseSink> database_;
    std::unique_ptr<YieldWatch> yield_;
    PageServer* page_ = nullptr;
    std::unique_ptr<LineMetrics> metrics_;
};

} // namespace korvastation

#endif
