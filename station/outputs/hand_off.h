// The hand-off: the line's own command for each finished attempt (its MES,
// a message queue) gets the attempt's JSON record on its standard input. It
// runs beside the station and never holds up a fixture; a failure or a hang
// is told once and not retried.
#ifndef KORVASTATION_HAND_OFF_H
#define KORVASTATION_HAND_OFF_H

#include <chrono>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "station/outputs/attempt_sink.h"
#include "station/outputs/records.h"
#include "station/run/child_process.h"

namespace korvastation {

class HandOff : public AttemptSink {
public:
    // command: run by sh -c; empty: none.
    HandOff(std::string command, RecordContext context);
    ~HandOff();

    bool given() const { return !command_.empty(); }
    // Starts the command for one attempt; what: the attempt as messages name it.
    // A message when it could not start.
    std::string send(const std::string& record, const std::string& what, std::chrono::steady_clock::time_point now);
    // Reads and reaps the commands that run: a message per one that failed
    // or ran over its time (and was killed).
    std::vector<std::string> check(std::chrono::steady_clock::time_point now);
    std::vector<int> fds() const;
    // Sends the attempt's record; a command that could not start is told.
    void take(const AttemptRecord& attempt) override;
    size_t running() const { return runs_.size(); }

    static constexpr double TIME_LIMIT_S = 30;
    static const size_t MOST_AT_ONCE = 8;

private:
    struct Run {
        std::unique_ptr<ChildProcess> child;
        std::string what;
        std::chrono::steady_clock::time_point deadline;
        std::string output;  // its last words, for a failure's message
        bool killed = false;
    };

    std::string command_;
    RecordContext context_;
    std::list<Run> runs_;
};

} // namespace korvastation

#endif
