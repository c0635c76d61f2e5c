// The hand-off: the line's own command (its MES, a message queue) gets each
// finished attempt's JSON record on its standard input, one record at a
// time and in order. A record waits in the outbox, a file of the station's
// records folder, until the command took it (ended with status 0): a
// command that fails or hangs is tried again after a growing pause, across
// the station's restarts too. It runs beside the station and never holds
// up a fixture.
#ifndef KORVASTATION_HAND_OFF_H
#define KORVASTATION_HAND_OFF_H

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "sim/support/result.h"
#include "station/outputs/attempt_sink.h"
#include "station/outputs/records.h"
#include "station/run/child_process.h"

namespace korvastation {

class HandOff : public AttemptSink {
public:
    using Clock = std::chrono::steady_clock;

    // command: run by sh -c; outbox: the file that keeps the records that
    // wait. clock: the station's.
    HandOff(std::string command, RecordContext context, std::string outbox,
            std::function<Clock::time_point()> clock = Clock::now);
    ~HandOff();
    HandOff(const HandOff&) = delete;
    HandOff& operator=(const HandOff&) = delete;

    // The records an earlier run of the station left in the outbox.
    korvasim::Result open();
    // Queues the attempt's record.
    void take(const AttemptRecord& attempt) override;
    // Starts the command for the first record when it is due, reads and
    // reaps it: a message per try that failed.
    std::vector<std::string> check(Clock::time_point now);
    std::vector<int> fds() const;
    size_t waiting() const { return records_.size(); }

    static constexpr double TIME_LIMIT_S = 30;
    static constexpr double LONGEST_PAUSE_S = 60;
    // Output beyond this is not read: a command that floods costs no more.
    static const size_t MOST_OUTPUT = 64 * 1024;

private:
    struct Record {
        std::string line;  // the JSON record and its line end
        std::string what;  // the attempt as messages name it
    };
    std::string start(Clock::time_point now);
    std::string ended(Clock::time_point now);
    korvasim::Result write_outbox() const;

    std::string command_;
    RecordContext context_;
    std::string outbox_;
    std::function<Clock::time_point()> clock_;
    std::deque<Record> records_;
    std::unique_ptr<ChildProcess> child_;
    Clock::time_point deadline_, due_;
    std::string output_;
    size_t output_read_ = 0;
    bool killed_ = false;
    std::chrono::duration<double> pause_{1};
};

} // namespace korvastation

#endif
