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

struct YieldRow {
    std::string key;  // the day, station or test
    long boards = 0, first_pass = 0, final_pass = 0, retested = 0, intermittent = 0;
};

struct FaultRow {
    std::string fault;
    long boards = 0;  // boards with an attempt whose diagnosis names it
};

struct YieldReport {
    std::string board;  // the one board the report is of, if any
    YieldRow total;
    std::vector<YieldRow> by_day, by_station, by_test;
    std::vector<FaultRow> faults;     // most boards first
    std::vector<StoredAttempt> history;  // with a board's label: its attempts
};

// attempts: as loaded, in order of their start. A board is one station
// run's attempts of one label; its day is its first attempt's.
YieldReport build_yield_report(const std::vector<StoredAttempt>& attempts, bool with_history);

enum class ReportFormat { TABLE, CSV, JSON, HTML };
std::string format_yield_report(const YieldReport& report, ReportFormat format);

// korvastation report [options]: the program's second mode.
int run_report(int argc, char** argv);

} // namespace korvastation

#endif
