// The report as a terminal shows it: columns of figures, then the faults,
// the retested boards, the day's events and a board's history.
#include <algorithm>
#include <cstdio>

#include "station/report/report_text.h"

namespace korvastation {

namespace {

std::string attempt_line(const StoredAttempt& a, bool with_label)
{
    std::string line = "  " + a.start + "  " + (with_label ? a.label + "  " : "") + a.station + "  " + where_tested(a) +
                       "  " + (a.retest ? "retest " + std::to_string(a.retest) + ": " : "") + a.verdict +
                       (a.after_repair.empty() ? "" : " after repair");
    if (!a.problem.empty())
        line += "; " + a.problem;
    const std::string diagnosis = report_diagnosis(a);
    if (!diagnosis.empty())
        line += "; diagnosis: " + diagnosis;
    line += "\n";
    // Where to probe, under the attempt, a line per candidate.
    const std::string probes = probe_text(a.diagnosis, a.probe_points);
    for (size_t from = 0; from < probes.size();) {
        const size_t end = std::min(probes.find('\n', from), probes.size());
        line += "      " + probes.substr(from, end - from) + "\n";
        from = end + 1;
    }
    return line;
}

} // namespace

std::string table_report(const YieldReport& report)
{
    std::string out;
    char line[512];
    for (const auto& [group, rows] : yield_groups(report)) {
        snprintf(line, sizeof line, "%-12s %7s %11s %11s %9s %13s %6s\n", group == "total" ? "" : group.c_str(),
                 "boards", "first pass", "final", "retested", "intermittent", "hung");
        out += line;
        for (const YieldRow& r : rows) {
            snprintf(line, sizeof line, "%-12s %7ld %11s %11s %9ld %13ld %6ld\n", r.key.c_str(), r.boards,
                     percent(r.first_pass, r.boards).c_str(), percent(r.final_pass, r.boards).c_str(), r.retested,
                     r.intermittent, r.hung);
            out += line;
        }
        out += "\n";
    }
    out += "faults (boards)\n";
    for (const FaultRow& f : report.yield.faults)
        out += "  " + std::to_string(f.boards) + "  " + f.fault + (f.closest.empty() ? "" : " (closest: " + f.closest + ")") +
               "\n";
    if (report.retested_asked) {
        out += "\nretested boards\n";
        for (const RetestedBoard& b : report.retested) {
            out += b.day + "  " + b.label + "\n";
            for (const StoredAttempt& a : b.attempts)
                out += "  " + attempt_line(a, false);
        }
    }
    if (!report.events.empty()) {
        out += "\nevents\n";
        for (const StationEvent& e : report.events)
            out += "  " + e.at + "  " + e.station + "  " + e.kind + (e.fixture.empty() ? "" : " " + e.fixture) +
                   (e.operator_name.empty() ? "" : " by " + e.operator_name) +
                   (e.detail.empty() ? "" : ": " + e.detail) + "\n";
    }
    if (!report.history.empty()) {
        out += "\nhistory\n";
        for (const StoredAttempt& a : report.history)
            out += attempt_line(a, false);
    }
    if (!report.repairs.empty()) {
        out += "\nrepairs\n";
        for (const StoredRepair& r : report.repairs)
            out += "  " + r.at + "  " + r.station + "  " + repair_words(r) + "\n";
    }
    return out;
}

} // namespace korvastation
