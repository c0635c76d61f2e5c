// Where every finished attempt goes, in both modes: a failed one to its
// diagnosis first (on the diagnosis worker's thread: simulating the faults
// takes seconds), then each to every sink. The diagnosis is also written
// into the series' own record, so that a page shows it while the board is
// the last of its fixture or port.
#ifndef KORVASTATION_ATTEMPT_PIPELINE_H
#define KORVASTATION_ATTEMPT_PIPELINE_H

#include <map>
#include <memory>
#include <vector>

#include "station/board/probe_points.h"
#include "station/outputs/attempt_sink.h"
#include "station/run/attempt_series.h"
#include "station/run/diagnosis_worker.h"

namespace korvastation {

class AttemptPipeline {
public:
    // run: the station run's identity, the stem of each attempt's.
    void identify(const std::string& run) { run_ = run; }
    // Where a diagnosis's lines are probed, from the board's netlist.
    void locate_with(std::shared_ptr<const ProbePoints> probes) { probes_ = std::move(probes); }
    // Sinks take the records in the order they are added.
    void add_sink(AttemptSink* sink) { sinks_.push_back(sink); }
    // Takes the attempts of series that became complete since the last
    // call. True when any did.
    bool take_finished(const std::shared_ptr<AttemptSeries>& series);
    // Hands on the attempts whose diagnosis came. True when any did.
    bool take_diagnoses();
    // Whether a failed attempt still waits for its diagnosis.
    bool diagnosing() const { return diagnoses_.pending(); }
    // Waits up to timeout_ms for the next diagnosis.
    void wait_for_diagnosis(int timeout_ms) { diagnoses_.wait(timeout_ms); }
    // Every sink's finish; the failures' messages.
    std::vector<std::string> finish(const std::function<bool()>& keep_waiting);

private:
    void hand_on(const AttemptRecord& attempt);

    struct Waiting {
        std::shared_ptr<AttemptSeries> series;
        int attempt;
    };
    std::string run_;
    unsigned long attempts_ = 0;  // identities given
    std::vector<AttemptSink*> sinks_;
    std::shared_ptr<const ProbePoints> probes_;
    DiagnosisWorker diagnoses_;
    // Failed attempts waiting for their diagnosis, by ticket: the fixture
    // may have a new board by the time it comes.
    std::map<size_t, Waiting> waiting_;
    size_t next_ticket_ = 0;
};

} // namespace korvastation

#endif
