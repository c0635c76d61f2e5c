// korvastation report: what a line's records say. First-pass yield (boards
// that passed their first attempt) and final yield (boards whose last
// attempt passed), per day, station and test; retested and intermittent
// boards; the diagnosed faults ranked by the boards they failed; and one
// board's history.
#ifndef KORVASTATION_YIELD_REPORT_H
#define KORVASTATION_YIELD_REPORT_H

#include <string>
#include <vector>

#include "sim/support/result.h"
#include "station/store/result_store.h"

namespace korvastation {

struct YieldReport {
    std::string board;  // the one board the report is of, if any
    YieldTally yield;
    std::vector<StoredAttempt> history;  // with a board's label: its attempts
};

enum class ReportFormat { TABLE, CSV, JSON, HTML };
std::string format_yield_report(const YieldReport& report, ReportFormat format);

} // namespace korvastation

#endif
