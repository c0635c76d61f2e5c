// One of the station's outputs as the station's core sees it: it takes each
// finished attempt, its record complete (a failed one diagnosed), in the
// order the records became complete, as a line's test executives hand each
// finished record to their output callbacks.
#ifndef KORVASTATION_ATTEMPT_SINK_H
#define KORVASTATION_ATTEMPT_SINK_H

#include <functional>

#include "sim/support/result.h"
#include "station/run/attempt_record.h"

namespace korvastation {

class AttemptSink {
public:
    virtual ~AttemptSink() = default;
    virtual void take(const AttemptRecord& attempt) = 0;
    // The station is ending: what the sink holds back is written now,
    // waiting while keep_waiting() says to. A failure in one line.
    virtual korvasim::Result finish(const std::function<bool()>& keep_waiting)
    {
        (void)keep_waiting;
        return korvasim::Result::ok();
    }
};

// A sink of a mode's own: what it remembers of each attempt.
class CallbackSink : public AttemptSink {
public:
    explicit CallbackSink(std::function<void(const AttemptRecord&)> take) : take_(std::move(take)) {}
    void take(const AttemptRecord& attempt) override { take_(attempt); }

private:
    std::function<void(const AttemptRecord&)> take_;
};

} // namespace korvastation

#endif
