// korvastation report --repairs: what the repair loop did with the boards
// the line failed, per diagnosis. A board here is a serial number across
// days: its repair may come days after its failure.
#ifndef KORVASTATION_REPAIR_REPORT_H
#define KORVASTATION_REPAIR_REPORT_H

#include <map>
#include <string>
#include <vector>

#include "sim/support/result.h"
#include "station/report/yield_report.h"
#include "station/store/result_store.h"

namespace korvastation {

struct RepairRow {
    std::string diagnosis;  // as the failed attempt's diagnosis named it
    long failed = 0;        // boards with a failed attempt of that diagnosis
    long repaired = 0;      // of them, boards with a repair recorded (other than scrapping)
    long passed = 0;        // boards that passed after a repair
    long scrapped = 0;
    long no_fault_found = 0;
    // What the last repair before each board's pass was, and the components
    // it touched: the repairs that fixed the diagnosis.
    std::map<std::string, long> fixed_by_action, fixed_by_component;
    double hours_to_pass = 0;  // mean, from the failure to the pass after its repair

    // Boards that passed of those repaired; -1 with none repaired.
    double repair_yield() const { return repaired ? double(passed) / repaired : -1; }
};

struct RepairReport {
    std::vector<RepairRow> rows;  // most boards failed first
    RepairRow total;              // every diagnosis together, "all"
};

// From the repairs and the attempts of the filter's days.
korvasim::Result make_repair_report(ResultStore& store, const StoreFilter& filter, RepairReport* report);
std::string format_repair_report(const RepairReport& report, ReportFormat format);

} // namespace korvastation

#endif
