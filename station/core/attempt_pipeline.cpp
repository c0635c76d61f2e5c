#include "station/core/attempt_pipeline.h"

#include <algorithm>

namespace korvastation {

bool AttemptPipeline::take_finished(const std::shared_ptr<AttemptSeries>& series)
{
    bool taken = false;
    for (int k : series->take_finished()) {
        AttemptRecord& attempt = series->attempt(k);
        attempt.id = run_ + "/" + std::to_string(++attempts_);
        if (attempt.verdict == Verdict::FAILED) {
            waiting_[next_ticket_] = {series, k};
            diagnoses_.submit(next_ticket_++, 0, attempt.verbose_log.empty() ? attempt.log : attempt.verbose_log);
        } else {
            hand_on(attempt);
        }
        taken = true;
    }
    return taken;
}

bool AttemptPipeline::take_diagnoses()
{
    const std::vector<AttemptDiagnosis> done = diagnoses_.take_done();
    for (const AttemptDiagnosis& d : done) {
        const auto waiting = waiting_.find(d.board);
        AttemptRecord& attempt = waiting->second.series->attempt(waiting->second.attempt);
        attempt.diagnosis = d.faults;
        attempt.probe_points.clear();
        for (const korvasim::CatalogueFault& f : d.faults)
            attempt.probe_points.push_back(probes_ ? probes_->of(f.spec) : "");
        attempt.diagnosis_note = d.note;
        attempt.diagnosis_closest = d.closest;
        std::copy(std::begin(d.failure_excerpt), std::end(d.failure_excerpt), attempt.failure_excerpt);
        hand_on(attempt);
        waiting_.erase(waiting);
    }
    return !done.empty();
}

void AttemptPipeline::hand_on(const AttemptRecord& attempt)
{
    for (AttemptSink* sink : sinks_)
        sink->take(attempt);
}

std::vector<std::string> AttemptPipeline::finish(const std::function<bool()>& keep_waiting)
{
    std::vector<std::string> failures;
    for (AttemptSink* sink : sinks_)
        if (const korvasim::Result finished = sink->finish(keep_waiting); !finished)
            failures.push_back(finished.why());
    return failures;
}

} // namespace korvastation
