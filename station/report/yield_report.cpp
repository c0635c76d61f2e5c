#include "station/report/yield_report.h"

#include "sim/support/html_text.h"
#include "station/cli/station_options.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <unistd.h>

namespace korvastation {

using korvasim::Result;

namespace {

const char REPORT_USAGE[] =
    "Usage: korvastation report --db FILE|URI [--since DATE] [--until DATE]\n"
    "                           [--station NAME] [--board LABEL] [--format table|csv|json|html]\n"
    "\n"
    "First-pass and final yield per day, station and test, retested and\n"
    "intermittent boards, and the diagnosed faults ranked by the boards they\n"
    "failed, from the records korvastation --db wrote. DATE is YYYY-MM-DD (UTC,\n"
    "both ends included); --board adds the history of the board with that label.\n"
    "The html form is one page with its charts inside, for a browser or a mail.\n";

struct Board {
    const StoredAttempt* first = nullptr;
    const StoredAttempt* last = nullptr;
    std::set<std::string> faults;  // one entry per diagnosis, however many candidates it names
};

// An attempt's diagnosis as one fault row: an ambiguous one names its
// candidates together, since the board has only one of them.
std::string diagnosis_of(const StoredAttempt& a)
{
    std::string text;
    for (size_t i = 0; i < a.diagnosis.size(); ++i)
        text += (i ? " or " : "") + a.diagnosis[i];
    return text;
}

// Whether an attempt ran test t to a verdict, and whether it failed it: a
// board that hung in a test failed that test.
bool ran(const StoredAttempt& a, int t)
{
    return a.counts[t][0] + a.counts[t][1] > 0 || a.hung_in == TEST_NAMES[t];
}

bool failed(const StoredAttempt& a, int t)
{
    return a.counts[t][1] > 0 || a.hung_in == TEST_NAMES[t];
}

void count(YieldRow* row, const Board& b, bool first_passed, bool final_passed)
{
    ++row->boards;
    row->first_pass += first_passed;
    row->final_pass += final_passed;
    row->retested += b.last->retest > 0;
    row->intermittent += b.last->intermittent;
}

std::vector<YieldRow> rows_of(std::map<std::string, YieldRow>& rows)
{
    std::vector<YieldRow> list;
    for (auto& [key, row] : rows) {
        row.key = key;
        list.push_back(row);
    }
    return list;
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
    const YieldRow& t = report.total;
    html += "<p><strong>" + std::to_string(t.boards) + (t.boards == 1 ? " board" : " boards") +
            ": first-pass yield " + percent(t.first_pass, t.boards) + ", final yield " +
            percent(t.final_pass, t.boards) + "; " + std::to_string(t.retested) + " retested, " +
            std::to_string(t.intermittent) + " intermittent</strong></p>\n";
    html += "<p class=\"key\"><span style=\"background:#7aa7d8\"></span> first-pass yield &nbsp; "
            "<span style=\"background:#2a6\"></span> final yield</p>\n";
    html += "<h2>By day</h2>\n" + yield_chart(report.by_day, "day") + html_table(report.by_day, "day");
    html += "<h2>By station</h2>\n" + yield_chart(report.by_station, "station") +
            html_table(report.by_station, "station");
    html += "<h2>By test</h2>\n" + yield_chart(report.by_test, "test") + html_table(report.by_test, "test");
    html += "<h2>Faults by boards failed</h2>\n";
    html += report.faults.empty() ? std::string("<p>No failed board was diagnosed.</p>\n") : fault_chart(report.faults);
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

// A day of the calendar: 2026-02-30 is none.
bool valid_date(const std::string& d)
{
    int y, m, day;
    char extra;
    if (d.size() != 10 || d[4] != '-' || d[7] != '-' ||
        sscanf(d.c_str(), "%4d-%2d-%2d%c", &y, &m, &day, &extra) != 3 || m < 1 || m > 12 || day < 1)
        return false;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    const int days[] = {31, leap ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return day <= days[m - 1];
}

} // namespace

YieldReport build_yield_report(const std::vector<StoredAttempt>& attempts, bool with_history)
{
    std::map<std::pair<std::string, std::string>, Board> boards;
    for (const StoredAttempt& a : attempts) {
        Board& b = boards[{a.run, a.label}];
        if (a.retest == 0)
            b.first = &a;
        if (a.final_attempt)
            b.last = &a;
        if (!a.diagnosis.empty())
            b.faults.insert(diagnosis_of(a));
        if (a.verdict == "hung" && std::find(std::begin(TEST_NAMES), std::end(TEST_NAMES), a.hung_in) !=
                                       std::end(TEST_NAMES))
            b.faults.insert("hung in " + a.hung_in);
    }
    YieldReport report;
    std::map<std::string, YieldRow> days, stations, tests;
    std::map<std::string, long> faults;
    for (const auto& [key, b] : boards) {
        // A run cut short left a board without its first or last attempt.
        if (!b.first || !b.last)
            continue;
        const bool first_passed = b.first->verdict == "passed";
        const bool final_passed = b.last->verdict == "passed";
        count(&report.total, b, first_passed, final_passed);
        count(&days[b.first->start.substr(0, 10)], b, first_passed, final_passed);
        count(&stations[b.first->station], b, first_passed, final_passed);
        for (int t = 0; t < BOARD_TEST_COUNT; ++t)
            if (ran(*b.first, t))
                count(&tests[TEST_NAMES[t]], b, !failed(*b.first, t), ran(*b.last, t) && !failed(*b.last, t));
        for (const std::string& f : b.faults)
            ++faults[f];
    }
    report.total.key = "all";
    report.by_day = rows_of(days);
    report.by_station = rows_of(stations);
    for (int t = 0; t < BOARD_TEST_COUNT; ++t)
        if (tests.count(TEST_NAMES[t])) {
            tests[TEST_NAMES[t]].key = TEST_NAMES[t];
            report.by_test.push_back(tests[TEST_NAMES[t]]);
        }
    for (const auto& [fault, n] : faults)
        report.faults.push_back({fault, n});
    std::stable_sort(report.faults.begin(), report.faults.end(),
                     [](const FaultRow& a, const FaultRow& b) { return a.boards > b.boards; });
    if (with_history)
        report.history = attempts;
    return report;
}

std::string format_yield_report(const YieldReport& report, ReportFormat format)
{
    if (format == ReportFormat::HTML)
        return html_report(report);
    const std::vector<std::pair<std::string, std::vector<YieldRow>>> groups = {
        {"total", {report.total}}, {"day", report.by_day}, {"station", report.by_station}, {"test", report.by_test}};
    std::string out;
    if (format == ReportFormat::JSON) {
        nlohmann::ordered_json j;
        for (const auto& [group, rows] : groups) {
            nlohmann::ordered_json list = nlohmann::ordered_json::array();
            for (const YieldRow& r : rows)
                list.push_back({{"key", r.key}, {"boards", r.boards}, {"first_pass", r.first_pass},
                                {"final_pass", r.final_pass}, {"retested", r.retested},
                                {"intermittent", r.intermittent}});
            j[group] = list;
        }
        nlohmann::ordered_json faults = nlohmann::ordered_json::array();
        for (const FaultRow& f : report.faults)
            faults.push_back({{"fault", f.fault}, {"boards", f.boards}});
        j["faults"] = faults;
        nlohmann::ordered_json history = nlohmann::ordered_json::array();
        for (const StoredAttempt& a : report.history)
            history.push_back({{"station", a.station}, {"start", a.start}, {"port", a.port}, {"retest", a.retest},
                               {"verdict", a.verdict}, {"problem", a.problem}, {"diagnosis", a.diagnosis}});
        j["history"] = history;
        return j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    }
    if (format == ReportFormat::CSV) {
        // One table for any tool: the yield rows, the faults, then a board's
        // attempts, each kind leaving the others' columns empty.
        out = "group,key,boards,first_pass,final_pass,retested,intermittent,start,station,port,retest,verdict,"
              "problem,diagnosis\n";
        auto field = [](const std::string& text) {
            std::string quoted = "\"";
            for (char c : text)
                quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
            return quoted + "\"";
        };
        for (const auto& [group, rows] : groups)
            for (const YieldRow& r : rows)
                out += group + "," + field(r.key) + "," + std::to_string(r.boards) + "," +
                       std::to_string(r.first_pass) + "," + std::to_string(r.final_pass) + "," +
                       std::to_string(r.retested) + "," + std::to_string(r.intermittent) + ",,,,,,,\n";
        for (const FaultRow& f : report.faults)
            out += "fault," + field(f.fault) + "," + std::to_string(f.boards) + ",,,,,,,,,,,\n";
        for (const StoredAttempt& a : report.history)
            out += "attempt," + field(a.label) + ",,,,,," + field(a.start) + "," + field(a.station) + "," +
                   field(a.port) + "," + std::to_string(a.retest) + "," + field(a.verdict) + "," + field(a.problem) +
                   "," + field(diagnosis_of(a)) + "\n";
        return out;
    }
    char line[512];
    for (const auto& [group, rows] : groups) {
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
    for (const FaultRow& f : report.faults)
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

int run_report(int argc, char** argv)
{
    static const option options[] = {
        {"db", required_argument, nullptr, 'b'},      {"since", required_argument, nullptr, 's'},
        {"until", required_argument, nullptr, 'u'},   {"station", required_argument, nullptr, 'n'},
        {"board", required_argument, nullptr, 'l'},   {"format", required_argument, nullptr, 'f'},
        {"help", no_argument, nullptr, 'h'},          {nullptr, 0, nullptr, 0}};
    auto usage_error = [](const std::string& why) {
        fprintf(stderr, "korvastation report: %s\n", why.c_str());
        return 2;
    };
    std::string db;
    StoreFilter filter;
    ReportFormat format = ReportFormat::TABLE;
    opterr = 0;
    optind = 1;
    int c;
    while ((c = getopt_long(argc, argv, "", options, nullptr)) != -1) {
        const std::string value = optarg ? optarg : "";
        switch (c) {
        case 'b': db = value; break;
        case 's': filter.since = value; break;
        case 'u': filter.until = value; break;
        case 'n': filter.station = value; break;
        case 'l': filter.label = value; break;
        case 'f':
            if (value == "table")
                format = ReportFormat::TABLE;
            else if (value == "csv")
                format = ReportFormat::CSV;
            else if (value == "json")
                format = ReportFormat::JSON;
            else if (value == "html")
                format = ReportFormat::HTML;
            else
                return usage_error("bad --format '" + value + "': expected table, csv, json or html");
            break;
        case 'h':
            fputs(REPORT_USAGE, stdout);
            return 0;
        default:
            return usage_error(option_problem(argv[optind - 1], options) + " (korvastation report --help lists them)");
        }
    }
    if (optind < argc)
        return usage_error(std::string("unexpected '") + argv[optind] + "'");
    if (db.empty())
        return usage_error("--db names the records to read");
    for (const std::string* d : {&filter.since, &filter.until})
        if (!d->empty() && !valid_date(*d))
            return usage_error("bad date '" + *d + "': expected a day of the calendar as YYYY-MM-DD");
    if (!filter.since.empty() && !filter.until.empty() && filter.since > filter.until)
        return usage_error("--since " + filter.since + " comes after --until " + filter.until);
    if (const Result named = check_database_name(db); !named)
        return usage_error(named.why());
    if (!is_server_uri(db) && access(db.c_str(), R_OK) != 0)
        return usage_error("cannot read the records in " + db + ": " + strerror(errno));
    std::unique_ptr<ResultStore> store;
    std::vector<StoredAttempt> attempts;
    if (const Result opened = open_result_store(db, &store); !opened)
        return usage_error(opened.why());
    if (const Result loaded = store->load(filter, &attempts); !loaded)
        return usage_error(loaded.why());
    YieldReport report = build_yield_report(attempts, !filter.label.empty());
    report.board = filter.label;
    const std::string text = format_yield_report(report, format);
    fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}

} // namespace korvastation
