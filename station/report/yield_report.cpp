#include "station/report/yield_report.h"

#include <cstdio>
#include <map>

#include "station/report/report_text.h"

namespace korvastation {

std::string percent(long part, long whole)
{
    if (whole == 0)
        return "-";
    char text[16];
    snprintf(text, sizeof text, "%.1f%%", 100.0 * part / whole);
    return text;
}

std::string csv_field(const std::string& text)
{
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string report_diagnosis(const StoredAttempt& a)
{
    std::string text = diagnosis_words(a);
    if (text.empty() && a.verdict == "failed" && !a.diagnosis_note.empty())
        text = std::string(UNEXPLAINED_FAULT) + (a.closest.empty() ? "" : " (closest: " + a.closest + ")");
    return text;
}

std::string where_tested(const StoredAttempt& a)
{
    if (a.fixture.empty())
        return a.port;
    return "fixture " + a.fixture + (a.operator_name.empty() ? "" : ", " + a.operator_name);
}

std::string attempt_name(const StoredAttempt& a)
{
    return (a.retest ? "retest " + std::to_string(a.retest) : std::string("first")) +
           (a.after_repair.empty() ? "" : " after repair");
}

const char* group_name(BoardGroup group)
{
    switch (group) {
    case BoardGroup::LINE: return "total";
    case BoardGroup::DAY: return "day";
    case BoardGroup::STATION: return "station";
    case BoardGroup::FIXTURE: return "fixture";
    case BoardGroup::OPERATOR: return "operator";
    }
    return "";
}

const std::vector<YieldRow>& rows_of(const YieldTally& tally, BoardGroup group)
{
    switch (group) {
    case BoardGroup::DAY: return tally.by_day;
    case BoardGroup::FIXTURE: return tally.by_fixture;
    case BoardGroup::OPERATOR: return tally.by_operator;
    case BoardGroup::STATION:
    case BoardGroup::LINE: break;
    }
    return tally.by_station;
}

std::vector<std::pair<std::string, std::vector<YieldRow>>> yield_groups(const YieldReport& report)
{
    std::vector<std::pair<std::string, std::vector<YieldRow>>> groups = {{"total", {report.yield.total}}};
    for (BoardGroup g : report.groups)
        groups.emplace_back(group_name(g), rows_of(report.yield, g));
    groups.emplace_back("test", report.yield.by_test);
    return groups;
}

std::vector<RetestedBoard> retested_boards(const std::vector<StoredAttempt>& attempts)
{
    std::map<std::pair<std::string, std::string>, size_t> at;
    std::vector<RetestedBoard> boards;
    for (const StoredAttempt& a : attempts) {
        if (a.golden)
            continue;
        const std::pair<std::string, std::string> key = {a.start.substr(0, 10), a.label};
        const auto found = at.find(key);
        if (found == at.end()) {
            at[key] = boards.size();
            boards.push_back({key.first, key.second, {a}});
        } else {
            boards[found->second].attempts.push_back(a);
        }
    }
    std::vector<RetestedBoard> retested;
    for (RetestedBoard& b : boards)
        if (b.attempts.size() > 1)
            retested.push_back(std::move(b));
    return retested;
}

std::string format_yield_report(const YieldReport& report, ReportFormat format)
{
    switch (format) {
    case ReportFormat::HTML: return html_report(report);
    case ReportFormat::JSON: return json_report(report);
    case ReportFormat::CSV: return csv_report(report);
    case ReportFormat::TABLE: break;
    }
    return table_report(report);
}

} // namespace korvastation
