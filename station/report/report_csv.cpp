// The report as one CSV table for any tool: the yield rows, the faults,
// the retested boards' attempts, the events, then a board's attempts, each
// kind of row leaving the others' columns empty.
#include "station/report/report_text.h"

namespace korvastation {

namespace {

std::string field(const std::string& text)
{
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string attempt_row(const char* kind, const StoredAttempt& a)
{
    return std::string(kind) + "," + field(a.label) + ",,,,,,," + field(a.start) + "," + field(a.station) + "," +
           field(a.port) + "," + std::to_string(a.retest) + "," + field(a.verdict) + "," + field(a.problem) + "," +
           field(report_diagnosis(a)) + "," + field(a.fixture) + "," + field(a.operator_name) + "\n";
}

} // namespace

std::string csv_report(const YieldReport& report)
{
    std::string out = "group,key,boards,first_pass,final_pass,retested,intermittent,hung,start,station,port,retest,"
                      "verdict,problem,diagnosis,fixture,operator\n";
    for (const auto& [group, rows] : yield_groups(report))
        for (const YieldRow& r : rows)
            out += group + "," + field(r.key) + "," + std::to_string(r.boards) + "," + std::to_string(r.first_pass) +
                   "," + std::to_string(r.final_pass) + "," + std::to_string(r.retested) + "," +
                   std::to_string(r.intermittent) + "," + std::to_string(r.hung) + ",,,,,,,,,\n";
    for (const FaultRow& f : report.yield.faults)
        out += "fault," + field(f.fault) + "," + std::to_string(f.boards) + ",,,,,,,,,,,," +
               field(f.closest.empty() ? "" : "closest: " + f.closest) + ",,\n";
    for (const RetestedBoard& b : report.retested)
        for (const StoredAttempt& a : b.attempts)
            out += attempt_row("retested", a);
    for (const StationEvent& e : report.events)
        out += "event," + field(e.kind) + ",,,,,,," + field(e.at) + "," + field(e.station) + ",,,," +
               field(e.detail) + ",," + field(e.fixture) + "," + field(e.operator_name) + "\n";
    for (const StoredAttempt& a : report.history)
        out += attempt_row("attempt", a);
    return out;
}

} // namespace korvastation
