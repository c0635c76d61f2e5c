// What a line's monitoring reads of a station: counters of its attempts,
// tests, retests and intermittent boards, a histogram of the attempts'
// durations, each fixture's state and the build, in Prometheus's text
// exposition format (0.0.4). Labels name only what is bounded (station,
// fixture, verdict, test), never a board's serial number.
#ifndef KORVASTATION_LINE_METRICS_H
#define KORVASTATION_LINE_METRICS_H

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "station/outputs/attempt_sink.h"

namespace korvastation {

struct FixtureGauge {
    std::string fixture;
    std::string state;  // one of the station's states for it
    long cycles = -1;   // a served fixture's boards since its maintenance; -1: not counted
};

class LineMetrics : public AttemptSink {
public:
    // states: every state a fixture may show, so that each has its series.
    LineMetrics(std::string station, std::string version, std::string image_sha256, std::vector<std::string> states);

    // One finished attempt, counted under its fixture (a batch's: its port).
    void take(const AttemptRecord& attempt) override;
    // The records that wait for the database and for the hand-off now.
    void set_waiting(long database, long hand_off)
    {
        database_waiting_ = database;
        hand_off_waiting_ = hand_off;
    }
    // A served station's repair bench: the repairs recorded here by action
    // (every action it offers, 0 until it has one), and the line's boards
    // that wait for their repair.
    void set_repairs(std::map<std::string, long> by_action, long waiting)
    {
        repairs_ = std::move(by_action);
        waiting_for_repair_ = waiting;
        repairs_set_ = true;
    }
    // The exposition, with each fixture's state now; each fixture's
    // attempts by every verdict, 0 until it has one.
    std::string text(const std::vector<FixtureGauge>& fixtures) const;

    // The histogram's upper bounds, in seconds.
    static const std::vector<double> DURATION_BOUNDS;

private:
    std::string station_, version_, image_sha256_;
    std::vector<std::string> states_;
    std::map<std::pair<std::string, std::string>, long> attempts_;  // fixture, verdict
    std::map<std::pair<std::string, std::string>, long> tests_;     // test, result
    long retests_ = 0, intermittent_ = 0;
    std::vector<long> duration_buckets_;  // cumulative per bound
    long durations_ = 0;
    long database_waiting_ = 0, hand_off_waiting_ = 0;
    std::map<std::string, long> repairs_;
    long waiting_for_repair_ = 0;
    bool repairs_set_ = false;
    double duration_sum_ = 0;
};

// A label value as the exposition format quotes it.
std::string metric_label_value(const std::string& value);

} // namespace korvastation

#endif
