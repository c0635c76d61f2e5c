// The repair report's forms: a table for a terminal, CSV, JSON and a page.
#include <cstdio>
#include <nlohmann/json.hpp>

#include "sim/support/html_text.h"
#include "station/report/repair_report.h"
#include "station/report/report_text.h"

namespace korvastation {

namespace {

using korvasim::html_text;

// "reflowed 3, replaced 1"
std::string counts_text(const std::map<std::string, long>& counts)
{
    std::string text;
    for (const auto& [what, n] : counts)
        text += (text.empty() ? "" : ", ") + what + " " + std::to_string(n);
    return text;
}

std::string hours_text(const RepairRow& r)
{
    if (!r.passed)
        return "-";
    char text[32];
    snprintf(text, sizeof text, "%.1f h", r.hours_to_pass);
    return text;
}

std::string yield_text(const RepairRow& r)
{
    return percent(r.passed, r.repaired);
}

std::string table(const RepairReport& report)
{
    std::string out;
    char line[1024];
    snprintf(line, sizeof line, "%-40s %7s %9s %7s %9s %4s %8s %10s\n", "diagnosis", "failed", "repaired", "passed",
             "scrapped", "NFF", "yield", "to a pass");
    out += line;
    std::vector<RepairRow> rows = report.rows;
    rows.push_back(report.total);
    for (const RepairRow& r : rows) {
        snprintf(line, sizeof line, "%-40s %7ld %9ld %7ld %9ld %4ld %8s %10s\n", r.diagnosis.c_str(), r.failed,
                 r.repaired, r.passed, r.scrapped, r.no_fault_found, yield_text(r).c_str(), hours_text(r).c_str());
        out += line;
    }
    out += "\nwhat fixed each diagnosis (the last repair before a pass)\n";
    for (const RepairRow& r : report.rows)
        if (r.passed)
            out += "  " + r.diagnosis + ": " + counts_text(r.fixed_by_action) +
                   (r.fixed_by_component.empty() ? "" : "; components " + counts_text(r.fixed_by_component)) + "\n";
    return out;
}

std::string csv(const RepairReport& report)
{
    std::string out = "diagnosis,failed,repaired,passed_after_repair,scrapped,no_fault_found,repair_yield,"
                      "hours_to_pass,fixed_by_action,fixed_by_component\n";
    std::vector<RepairRow> rows = report.rows;
    rows.push_back(report.total);
    for (const RepairRow& r : rows) {
        char figures[64];
        snprintf(figures, sizeof figures, "%.3f,%.2f", r.repaired ? r.repair_yield() : 0.0, r.hours_to_pass);
        out += csv_field(r.diagnosis) + "," + std::to_string(r.failed) + "," + std::to_string(r.repaired) + "," +
               std::to_string(r.passed) + "," + std::to_string(r.scrapped) + "," + std::to_string(r.no_fault_found) +
               "," + figures + "," + csv_field(counts_text(r.fixed_by_action)) + "," +
               csv_field(counts_text(r.fixed_by_component)) + "\n";
    }
    return out;
}

std::string json(const RepairReport& report)
{
    using Json = nlohmann::ordered_json;
    auto row_json = [](const RepairRow& r) {
        return Json{{"diagnosis", r.diagnosis},
                    {"failed", r.failed},
                    {"repaired", r.repaired},
                    {"passed_after_repair", r.passed},
                    {"scrapped", r.scrapped},
                    {"no_fault_found", r.no_fault_found},
                    {"repair_yield", r.repaired ? Json(r.repair_yield()) : Json(nullptr)},
                    {"hours_to_pass", r.passed ? Json(r.hours_to_pass) : Json(nullptr)},
                    {"fixed_by_action", r.fixed_by_action},
                    {"fixed_by_component", r.fixed_by_component}};
    };
    Json rows = Json::array();
    for (const RepairRow& r : report.rows)
        rows.push_back(row_json(r));
    return Json{{"diagnoses", rows}, {"total", row_json(report.total)}}.dump(2) + "\n";
}

std::string html(const RepairReport& report)
{
    std::string page = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                       "<title>Repairs</title>\n<style>\nbody { font-family: sans-serif; margin: 2em; color: #222; }\n"
                       "table { border-collapse: collapse; }\nth, td { border: 1px solid #ccc; padding: .2em .6em; }\n"
                       "td.n { text-align: right; }\n</style>\n</head>\n<body>\n<h1>Repairs</h1>\n"
                       "<table><tr><th>diagnosis</th><th>failed</th><th>repaired</th><th>passed after repair</th>"
                       "<th>scrapped</th><th>no fault found</th><th>repair yield</th><th>failure to pass</th>"
                       "<th>what fixed it</th></tr>\n";
    std::vector<RepairRow> rows = report.rows;
    rows.push_back(report.total);
    for (const RepairRow& r : rows) {
        std::string fixed = counts_text(r.fixed_by_action);
        if (!r.fixed_by_component.empty())
            fixed += "; components " + counts_text(r.fixed_by_component);
        page += "<tr><td>" + html_text(r.diagnosis) + "</td><td class=\"n\">" + std::to_string(r.failed) +
                "</td><td class=\"n\">" + std::to_string(r.repaired) + "</td><td class=\"n\">" +
                std::to_string(r.passed) + "</td><td class=\"n\">" + std::to_string(r.scrapped) +
                "</td><td class=\"n\">" + std::to_string(r.no_fault_found) + "</td><td class=\"n\">" +
                yield_text(r) + "</td><td class=\"n\">" + hours_text(r) + "</td><td>" + html_text(fixed) +
                "</td></tr>\n";
    }
    return page + "</table>\n</body>\n</html>\n";
}

} // namespace

std::string format_repair_report(const RepairReport& report, ReportFormat format)
{
    switch (format) {
    case ReportFormat::CSV:
        return csv(report);
    case ReportFormat::JSON:
        return json(report);
    case ReportFormat::HTML:
        return html(report);
    default:
        return table(report);
    }
}

} // namespace korvastation
