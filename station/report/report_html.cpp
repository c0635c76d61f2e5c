// The report as one page, nothing fetched from anywhere: charts in SVG and
// CSS, styles inline, every text escaped.
#include <sstream>

#include "sim/support/html_text.h"
#include "station/report/report_text.h"

namespace korvastation {

namespace {

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

// The faults by the boards they failed, most first: a table whose labels
// wrap, so that a long one ("... or ...") is shown whole beside its bar.
std::string fault_chart(const std::vector<FaultRow>& faults)
{
    const long most = faults.empty() ? 1 : faults.front().boards;
    std::string html = "<table class=\"faults\" aria-label=\"faults by boards failed\">\n";
    for (const FaultRow& f : faults)
        html += "<tr><td class=\"fault\">" + html_text(f.fault) +
                (f.closest.empty() ? "" : "<br><small>closest: " + html_text(f.closest) + "</small>") +
                "</td><td class=\"bar\"><span style=\"width:" + std::to_string(f.boards * 100 / most) +
                "%\"></span> " + std::to_string(f.boards) + "</td></tr>\n";
    return html + "</table>\n";
}

std::string html_table(const std::vector<YieldRow>& rows, const std::string& what)
{
    std::string html = "<table><tr><th>" + html_text(what) +
                       "</th><th>boards</th><th>first-pass yield</th><th>final yield</th><th>retested</th>"
                       "<th>intermittent</th><th>hung</th></tr>\n";
    for (const YieldRow& r : rows)
        html += "<tr><td>" + html_text(r.key) + "</td><td class=\"n\">" + std::to_string(r.boards) +
                "</td><td class=\"n\">" + percent(r.first_pass, r.boards) + "</td><td class=\"n\">" +
                percent(r.final_pass, r.boards) + "</td><td class=\"n\">" + std::to_string(r.retested) +
                "</td><td class=\"n\">" + std::to_string(r.intermittent) + "</td><td class=\"n\">" +
                std::to_string(r.hung) + "</td></tr>\n";
    return html + "</table>\n";
}

// Where to probe, under the diagnosis.
std::string probes_html(const StoredAttempt& a)
{
    const std::string probes = probe_text(a.diagnosis, a.probe_points);
    return probes.empty() ? "" : "<div class=\"probes\">" + html_text(probes) + "</div>";
}

std::string attempts_table(const std::vector<StoredAttempt>& attempts, bool with_label)
{
    std::string html = std::string("<table><tr>") + (with_label ? "<th>board</th>" : "") +
                       "<th>start</th><th>station</th><th>where</th><th>attempt</th><th>verdict</th><th>problem</th>"
                       "<th>diagnosis</th></tr>\n";
    for (const StoredAttempt& a : attempts)
        html += "<tr>" + (with_label ? "<td>" + html_text(a.label) + "</td>" : std::string()) + "<td>" +
                html_text(a.start) + "</td><td>" + html_text(a.station) + "</td><td>" + html_text(where_tested(a)) +
                "</td><td>" + attempt_name(a) + "</td><td>" + html_text(a.verdict) + "</td><td>" +
                html_text(a.problem) + "</td><td>" + html_text(report_diagnosis(a)) + probes_html(a) + "</td></tr>\n";
    return html + "</table>\n";
}

std::string events_table(const std::vector<StationEvent>& events)
{
    std::string html = "<table><tr><th>at</th><th>station</th><th>what</th><th>fixture</th><th>who</th>"
                       "<th>detail</th></tr>\n";
    for (const StationEvent& e : events)
        html += "<tr><td>" + html_text(e.at) + "</td><td>" + html_text(e.station) + "</td><td>" + html_text(e.kind) +
                "</td><td>" + html_text(e.fixture) + "</td><td>" + html_text(e.operator_name) + "</td><td>" +
                html_text(e.detail) + "</td></tr>\n";
    return html + "</table>\n";
}

} // namespace

std::string html_report(const YieldReport& report)
{
    // A board's page is that board's, not the line's.
    const std::string title = report.board.empty() ? "Yield of the Korva line" : "Board " + html_text(report.board);
    std::string html =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<title>" + title + "</title>\n<style>\n"
        "body { font-family: sans-serif; margin: 2em; color: #222; }\n"
        "table { border-collapse: collapse; margin: .5em 0 1.5em 0; }\n"
        "th, td { border: 1px solid #ccc; padding: .2em .6em; } td.n { text-align: right; }\n"
        ".probes { white-space: pre-line; font-family: monospace; font-size: .9em; }\n"
        "rect.first { fill: #7aa7d8; } rect.final { fill: #2a6; }\n"
        "table.faults td.fault { max-width: 24em; } table.faults td.bar { width: 22em; }\n"
        "table.faults td.bar span { display: inline-block; height: 1em; background: #c33; }\n"
        "svg text { font-size: 13px; }\n.key span { display: inline-block; width: 1em; height: .8em; }\n"
        "</style>\n</head>\n<body>\n<h1>" + title + "</h1>\n";
    const YieldRow& t = report.yield.total;
    html += "<p><strong>" + std::to_string(t.boards) + (t.boards == 1 ? " board" : " boards") +
            ": first-pass yield " + percent(t.first_pass, t.boards) + ", final yield " +
            percent(t.final_pass, t.boards) + "; " + std::to_string(t.retested) + " retested, " +
            std::to_string(t.intermittent) + " intermittent, " + std::to_string(t.hung) + " hung</strong></p>\n";
    html += "<p class=\"key\"><span style=\"background:#7aa7d8\"></span> first-pass yield &nbsp; "
            "<span style=\"background:#2a6\"></span> final yield</p>\n";
    for (BoardGroup g : report.groups) {
        const std::vector<YieldRow>& rows = rows_of(report.yield, g);
        html += std::string("<h2>By ") + group_name(g) + "</h2>\n" + yield_chart(rows, group_name(g)) +
                html_table(rows, group_name(g));
    }
    html += "<h2>By test</h2>\n" + yield_chart(report.yield.by_test, "test") + html_table(report.yield.by_test, "test");
    html += "<h2>Faults by boards failed</h2>\n";
    html += report.yield.faults.empty() ? std::string("<p>No failed board was diagnosed.</p>\n")
                                        : fault_chart(report.yield.faults);
    if (report.retested_asked) {
        std::vector<StoredAttempt> attempts;
        for (const RetestedBoard& b : report.retested)
            attempts.insert(attempts.end(), b.attempts.begin(), b.attempts.end());
        html += "<h2>Retested boards</h2>\n" +
                (attempts.empty() ? std::string("<p>No board was retested.</p>\n") : attempts_table(attempts, true));
    }
    if (!report.events.empty())
        html += "<h2>What happened at the stations</h2>\n" + events_table(report.events);
    if (!report.history.empty())
        html += "<h2>History of the board</h2>\n" + attempts_table(report.history, false);
    if (!report.repairs.empty()) {
        html += "<h2>Repairs of the board</h2>\n<table><tr><th>at</th><th>bench</th><th>repair</th></tr>\n";
        for (const StoredRepair& r : report.repairs)
            html += "<tr><td>" + html_text(r.at) + "</td><td>" + html_text(r.station) + "</td><td>" +
                    html_text(repair_words(r)) + "</td></tr>\n";
        html += "</table>\n";
    }
    return html + "</body>\n</html>\n";
}

} // namespace korvastation
