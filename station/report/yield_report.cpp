#include "station/report/yield_report.h"

#include "sim/support/html_text.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>

namespace korvastation {

using korvasim::Result;

namespace {

// An attempt's diagnosis as one text: an ambiguous one names its
// candidates together, since the board has only one of them.
std::string diagnosis_of(const StoredAttempt& a)
{
    std::string text;
    for (size_t i = 0; i < a.diagnosis.size(); ++i)
        text += (i ? " or " : "") + a.diagnosis[i];
    return text;
}

std::string percent(long part, long whole)
{
    if (whole == 0)
        return "-";
    char text[16];
    snprintf(text, sizeof text, "%.1f%%", 100.0 * part / whole);
    return text;
}

using korvasim::html_text;

const int CHART_WIDTH = 720;

// First-pass and final yield of each row as a pair of bars, in inline SVG.
std::string yield_chart(const std::vector<YieldRow>& rows, const std::string& what)
{
    const int row_height = 34, label_width = 140, bar_width = CHART_WIDTH - label_width - 70;
    std::ostringstream svg;
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << CHART_WIDTH << "\" height=\""
        << rows.size() * row_height + 10 << "\" role=\"img\" aria-label=\"yield by " << what << "\">\n";
    int y = 5;
    for (const YieldRow& r : rows) {
        const double first = r.boards ? static_cast<double>(r.first_pass) / r.boards : 0;
        const double last = r.boards ? static_cast<double>(r.final_pass) / r.boards : 0;
        svg << "<text x=\"0\" y=\"" << y + 20 << "\">" << html_text(r.key) << "</text>\n"
            << "<rect class=\"first\" x=\"" << label_width << "\" y=\"" << y << "\" width=\""
            << static_cast<int>(first * bar_width) << "\" height=\"13\"/>\n"
            << "<rect class=\"final\" x=\"" << label_width << "\" y=\"" << y + 15 << "\" width=\""
            << static_cast<int>(last * bar_width) << "\" height=\"13\"/>\n"
            << "<text x=\"" << label_width + bar_width + 6 << "\" y=\"" << y + 12 << "\">"
            << percent(r.first_pass, r.boards) << "</text>\n"
            << "<text x=\"" << label_width + bar_width + 6 << "\" y=\"" << y + 27 << "\">"
            << percent(r.final_pass, r.boards) << "</text>\n";
        y += row_height;
    }
    return svg.str() + "</svg>\n";
}

// The faults by the boards they failed, most first.
std::string fault_chart(const std::vector<FaultRow>& faults)
{
    const int row_height = 22, label_width = 300, bar_width = CHART_WIDTH - label_width - 50;
    const long most = faults.empty() ? 1 : faults.front().boards;
    std::ostringstream svg;
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << CHART_WIDTH << "\" height=\""
        << faults.size() * row_height + 10 << "\" role=\"img\" aria-label=\"faults by boards failed\">\n";
    int y = 5;
    for (const FaultRow& f : faults) {
        svg << "<text x=\"0\" y=\"" << y + 14 << "\">" << html_text(f.fault) << "</text>\n"
            << "<rect class=\"fault\" x=\"" << label_width << "\" y=\"" << y << "\" width=\""
            << f.boards * bar_width / most << "\" height=\"16\"/>\n"
            << "<text x=\"" << label_width + f.boards * bar_width / most + 6 << "\" y=\"" << y + 14 << "\">"
            << f.boards << "</text>\n";
        y += row_height;
    }
    return svg.str() + "</svg>\n";
}

std::string html_table(const std::vector<YieldRow>& rows, const std::string& what)
{
    std::string html = "<table><tr><th>" + html_text(what) +
                       "</th><th>boards</th><th>first-pass yield</th><th>final yield</th><th>retested</th>"
                       "<th>intermittent</th></tr>\n";
    for (const YieldRow& r : rows)
        html += "<tr><td>" + html_text(r.key) + "</td><td class=\"n\">" + std::to_string(r.boards) +
                "</td><td class=\"n\">" + percent(r.first_pass, r.boards) + "</td><td class=\"n\">" +
                percent(r.final_pass, r.boards) + "</td><td class=\"n\">" + std::to_string(r.retested) +
                "</td><td class=\"n\">" + std::to_string(r.intermittent) + "</td></tr>\n";
    return html + "</table>\n";
}

// One page, nothing fetched from anywhere: charts in SVG, styles inline.
std::string html_report(const YieldReport& report)
{
    // A board's page is that board's, not the line's.
    const std::string title =
        report.board.empty() ? "Yield of the Korva line" : "Board " + korvasim::html_text(report.board);
    std::string html =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<title>" + title + "</title>\n<style>\n"
        "body { font-family: sans-serif; margin: 2em; color: #222; }\n"
        "table { border-collapse: collapse; margin: .5em 0 1.5em 0; }\n"
        "th, td { border: 1px solid #ccc; padding: .2em .6em; } td.n { text-align: right; }\n"
        "rect.first { fill: #7aa7d8; } rect.final { fill: #2a6; } rect.fault { fill: #c33; }\n"
        "svg text { font-size: 13px; }\n.key span { display: inline-block; width: 1em; height: .8em; }\n"
        "</style>\n</head>\n<body>\n<h1>" + title + "</h1>\n";
    const YieldRow& t = report.yield.total;
    html += "<p><strong>" + std::to_string(t.boards) + (t.boards == 1 ? " board" : " boards") +
            ": first-pass yield " + percent(t.first_pass, t.boards) + ", final yield " +
            percent(t.final_pass, t.boards) + "; " + std::to_string(t.retested) + " retested, " +
            std::to_string(t.intermittent) + " intermittent</strong></p>\n";
    html += "<p class=\"key\"><span style=\"background:#7aa7d8\"></span> first-pass yield &nbsp; "
            "<span style=\"background:#2a6\"></span> final yield</p>\n";
    html += "<h2>By day</h2>\n" + yield_chart(report.yield.by_day, "day") + html_table(report.yield.by_day, "day");
    html += "<h2>By station</h2>\n" + yield_chart(report.yield.by_station, "station") +
            html_table(report.yield.by_station, "station");
    html += "<h2>By test</h2>\n" + yield_chart(report.yield.by_test, "test") + html_table(report.yield.by_test, "test");
    html += "<h2>Faults by boards failed</h2>\n";
    html += report.yield.faults.empty() ? std::string("<p>No failed board was diagnosed.</p>\n")
                                        : fault_chart(report.yield.faults);
    if (!report.history.empty()) {
        html += "<h2>History of the board</h2>\n<table><tr><th>start</th><th>station</th><th>port</th>"
                "<th>attempt</th><th>verdict</th><th>problem</th><th>diagnosis</th></tr>\n";
        for (const StoredAttempt& a : report.history) {
            std::string diagnosis;
            for (const std::string& f : a.diagnosis)
                diagnosis += (diagnosis.empty() ? "" : ", ") + f;
            html += "<tr><td>" + html_text(a.start) + "</td><td>" + html_text(a.station) + "</td><td>" +
                    html_text(a.port) + "</td><td>" + (a.retest ? "retest " + std::to_string(a.retest) : "first") +
                    "</td><td>" + html_text(a.verdict) + "</td><td>" + html_text(a.problem) + "</td><td>" +
                    html_text(diagnosis) + "</td></tr>\n";
        }
        html += "</table>\n";
    }
    return html + "</body>\n</html>\n";
}

using Groups = std::vector<std::pair<std::string, std::vector<YieldRow>>>;

Groups groups_of(const YieldReport& report)
{
    return {{"total", {report.yield.total}},
            {"day", report.yield.by_day},
            {"station", report.yield.by_station},
            {"test", report.yield.by_test}};
}

std::string json_report(const YieldReport& report)
{
    nlohmann::ordered_json j;
    for (const auto& [group, rows] : groups_of(report)) {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const YieldRow& r : rows)
            list.push_back({{"key", r.key}, {"boards", r.boards}, {"first_pass", r.first_pass},
                            {"final_pass", r.final_pass}, {"retested", r.retested},
                            {"intermittent", r.intermittent}});
        j[group] = list;
    }
    nlohmann::ordered_json faults = nlohmann::ordered_json::array();
    for (const FaultRow& f : report.yield.faults)
        faults.push_back({{"fault", f.fault}, {"boards", f.boards}});
    j["faults"] = faults;
    nlohmann::ordered_json history = nlohmann::ordered_json::array();
    for (const StoredAttempt& a : report.history)
        history.push_back({{"station", a.station}, {"start", a.start}, {"port", a.port}, {"retest", a.retest},
                           {"verdict", a.verdict}, {"problem", a.problem}, {"diagnosis", a.diagnosis}});
    j["history"] = history;
    return j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string csv_report(const YieldReport& report)
{
    // One table for any tool: the yield rows, the faults, then a board's
    // attempts, each kind leaving the others' columns empty.
    std::string out = "group,key,boards,first_pass,final_pass,retested,intermittent,start,station,port,retest,"
                      "verdict,problem,diagnosis\n";
    auto field = [](const std::string& text) {
        std::string quoted = "\"";
        for (char c : text)
            quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
        return quoted + "\"";
    };
    for (const auto& [group, rows] : groups_of(report))
        for (const YieldRow& r : rows)
            out += group + "," + field(r.key) + "," + std::to_string(r.boards) + "," +
                   std::to_string(r.first_pass) + "," + std::to_string(r.final_pass) + "," +
                   std::to_string(r.retested) + "," + std::to_string(r.intermittent) + ",,,,,,,\n";
    for (const FaultRow& f : report.yield.faults)
        out += "fault," + field(f.fault) + "," + std::to_string(f.boards) + ",,,,,,,,,,,\n";
    for (const StoredAttempt& a : report.history)
        out += "attempt," + field(a.label) + ",,,,,," + field(a.start) + "," + field(a.station) + "," +
               field(a.port) + "," + std::to_string(a.retest) + "," + field(a.verdict) + "," + field(a.problem) +
               "," + field(diagnosis_of(a)) + "\n";
    return out;
}

std::string table_report(const YieldReport& report)
{
    std::string out;
    char line[512];
    for (const auto& [group, rows] : groups_of(report)) {
        snprintf(line, sizeof line, "%-12s %7s %11s %11s %9s %13s\n", group == "total" ? "" : group.c_str(), "boards",
                 "first pass", "final", "retested", "intermittent");
        out += line;
        for (const YieldRow& r : rows) {
            snprintf(line, sizeof line, "%-12s %7ld %11s %11s %9ld %13ld\n", r.key.c_str(), r.boards,
                     percent(r.first_pass, r.boards).c_str(), percent(r.final_pass, r.boards).c_str(), r.retested,
                     r.intermittent);
            out += line;
        }
        out += "\n";
    }
    out += "faults (boards)\n";
    for (const FaultRow& f : report.yield.faults)
        out += "  " + std::to_string(f.boards) + "  " + f.fault + "\n";
    if (!report.history.empty()) {
        out += "\nhistory\n";
        for (const StoredAttempt& a : report.history) {
            out += "  " + a.start + "  " + a.station + "  " + a.port + "  " +
                   (a.retest ? "retest " + std::to_string(a.retest) + ": " : "") + a.verdict;
            if (!a.problem.empty())
                out += "; " + a.problem;
            for (size_t i = 0; i < a.diagnosis.size(); ++i)
                out += (i ? ", " : "; diagnosis: ") + a.diagnosis[i];
            out += "\n";
        }
    }
    return out;
}

} // namespace

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
