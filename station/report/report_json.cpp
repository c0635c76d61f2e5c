// The report as one JSON object: each group's rows, the faults, the
// retested boards, the events and a board's history.
#include <nlohmann/json.hpp>

#include "station/report/report_text.h"

namespace korvastation {

namespace {

using Json = nlohmann::ordered_json;

Json attempt_json(const StoredAttempt& a)
{
    return {{"station", a.station}, {"start", a.start},         {"fixture", a.fixture},
            {"operator", a.operator_name}, {"port", a.port},    {"retest", a.retest},
            {"verdict", a.verdict},  {"problem", a.problem},    {"diagnosis", a.diagnosis},
            {"unexplained", a.diagnosis.empty() && a.verdict == "failed" && !a.diagnosis_note.empty()},
            {"closest", a.closest},  {"probe_points", a.probe_points}, {"after_repair", a.after_repair}};
}

} // namespace

std::string json_report(const YieldReport& report)
{
    Json j;
    for (const auto& [group, rows] : yield_groups(report)) {
        Json list = Json::array();
        for (const YieldRow& r : rows)
            list.push_back({{"key", r.key},
                            {"boards", r.boards},
                            {"first_pass", r.first_pass},
                            {"final_pass", r.final_pass},
                            {"retested", r.retested},
                            {"intermittent", r.intermittent},
                            {"hung", r.hung}});
        j[group] = list;
    }
    Json faults = Json::array();
    for (const FaultRow& f : report.yield.faults) {
        Json row = {{"fault", f.fault}, {"boards", f.boards}};
        if (!f.closest.empty())
            row["closest"] = f.closest;
        faults.push_back(row);
    }
    j["faults"] = faults;
    if (report.retested_asked) {
        Json retested = Json::array();
        for (const RetestedBoard& b : report.retested) {
            Json attempts = Json::array();
            for (const StoredAttempt& a : b.attempts)
                attempts.push_back(attempt_json(a));
            retested.push_back({{"day", b.day}, {"label", b.label}, {"attempts", attempts}});
        }
        j["retested"] = retested;
    }
    Json events = Json::array();
    for (const StationEvent& e : report.events)
        events.push_back({{"at", e.at},
                          {"station", e.station},
                          {"kind", e.kind},
                          {"fixture", e.fixture},
                          {"operator", e.operator_name},
                          {"detail", e.detail}});
    j["events"] = events;
    Json history = Json::array();
    for (const StoredAttempt& a : report.history)
        history.push_back(attempt_json(a));
    j["history"] = history;
    Json repairs = Json::array();
    for (const StoredRepair& r : report.repairs)
        repairs.push_back({{"at", r.at},
                           {"station", r.station},
                           {"action", r.action},
                           {"components", r.components},
                           {"note", r.note},
                           {"technician", r.technician},
                           {"failed_attempt", r.failed_attempt},
                           {"diagnosis", r.diagnosis}});
    j["repairs"] = repairs;
    return j.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

} // namespace korvastation
