// korvastation report: what a line's records say. First-pass yield (boards
// that passed their first attempt) and final yield (boards whose last
// attempt passed) in all, by the groups asked for (day, station, fixture,
// operator) and by test; retested, intermittent and hung boards; the
// diagnosed faults ranked by the boards they failed; the retested boards'
// attempts; a day's events; and one board's history.
#ifndef KORVASTATION_YIELD_REPORT_H
#define KORVASTATION_YIELD_REPORT_H

#include <string>
#include <vector>

#include "sim/support/result.h"
#include "station/store/result_store.h"

namespace korvastation {

// A board tested more than once on a day, with every attempt of that day.
struct RetestedBoard {
    std::string day, label;
    std::vector<StoredAttempt> attempts;
};

struct YieldReport {
    std::string board;               // the one board the report is of, if any
    std::vector<BoardGroup> groups;  // the groups shown, in this order
    YieldTally yield;
    std::vector<StoredAttempt> history;  // with a board's label: its attempts
    std::vector<StoredRepair> repairs;   // ... and its repairs
    bool retested_asked = false;
    std::vector<RetestedBoard> retested;
    std::vector<StationEvent> events;  // a day's report: what happened at the stations
};

// The retested boards among attempts ordered by their start.
std::vector<RetestedBoard> retested_boards(const std::vector<StoredAttempt>& attempts);

enum class ReportFormat { TABLE, CSV, JSON, HTML };
std::string format_yield_report(const YieldReport& report, ReportFormat format);

} // namespace korvastation

#endif
