// The report as one CSV table for any tool: the yield rows, the faults,
// the retested boards' attempts, the events, then a board's attempts, each
// kind of row leaving the others' columns empty.
#include "station/report/report_text.h"

namespace korvastation {

namespace {

std::string attempt_row(const char* kind, const StoredAttempt& a)
{
    return std::string(kind) + "," + csv_field(a.label) + ",,,,,,," + csv_field(a.start) + "," + csv_field(a.station) + "," +
           csv_field(a.port) + "," + std::to_string(a.retest) + "," + csv_field(a.verdict) + "," + csv_field(a.problem) + "," +
           csv_field(report_diagnosis(a)) + "," + csv_field(a.fixture) + "," + csv_field(a.operator_name) + "\n";
}

} // namespace

std::string csv_report(const YieldReport& report)
{
    std::string out = "group,key,boards,first_pass,final_pass,retested,intermittent,hung,start,station,port,retest,"
                      "verdict,problem,diagnosis,fixture,operator\n";
    for (const auto& [group, rows] : yield_groups(report))
        for (const YieldRow& r : rows)
            out += group + "," + csv_field(r.key) + "," + std::to_string(r.boards) + "," + std::to_string(r.first_pass) +
                   "," + std::to_string(r.final_pass) + "," + std::to_string(r.retested) + "," +
                   std::to_string(r.intermittent) + "," + std::to_string(r.hung) + ",,,,,,,,,\n";
    for (const FaultRow& f : report.yield.faults)
        out += "fault," + csv_field(f.fault) + "," + std::to_string(f.boards) + ",,,,,,,,,,,," +
               csv_field(f.closest.empty() ? "" : "closest: " + f.closest) + ",,\n";
    for (const RetestedBoard& b : report.retested)
        for (const StoredAttempt& a : b.attempts)
            out += attempt_row("retested", a);
    for (const StationEvent& e : report.events)
        out += "event," + csv_field(e.kind) + ",,,,,,," + csv_field(e.at) + "," + csv_field(e.station) + ",,,," +
               csv_field(e.detail) + ",," + csv_field(e.fixture) + "," + csv_field(e.operator_name) + "\n";
    for (const StoredAttempt& a : report.history)
        out += attempt_row("attempt", a);
    // A repair: its action as the verdict, its note as the problem, the
    // components where a diagnosis goes, the technician as the operator.
    for (const StoredRepair& r : report.repairs)
        out += "repair," + csv_field(r.label) + ",,,,,,," + csv_field(r.at) + "," + csv_field(r.station) + ",,," +
               csv_field(r.action) + "," + csv_field(r.note) + "," + csv_field(r.components) + ",," +
               csv_field(r.technician) + "\n";
    return out;
}

} // namespace korvastation
