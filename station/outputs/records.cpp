#include "station/outputs/records.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <tinyxml2.h>

#include "host/report_lines.h"

namespace korvastation {

using korvasim::Result;

namespace {

double seconds_of(const AttemptRecord& r)
{
    return std::chrono::duration<double>(r.end - r.start).count();
}

const char* text_of(const std::string& text, std::string* kept)
{
    *kept = record_text(text);
    return kept->c_str();
}

// A <properties> element as the first child of parent.
void add_properties(tinyxml2::XMLDocument* doc, tinyxml2::XMLElement* parent,
                    const std::vector<std::pair<std::string, std::string>>& values)
{
    tinyxml2::XMLElement* properties = doc->NewElement("properties");
    std::string kept;
    for (const auto& [name, value] : values) {
        tinyxml2::XMLElement* property = doc->NewElement("property");
        property->SetAttribute("name", text_of(name, &kept));
        property->SetAttribute("value", text_of(value, &kept));
        properties->InsertEndChild(property);
    }
    parent->InsertFirstChild(properties);
}

std::string seconds_text(double seconds)
{
    char text[32];
    snprintf(text, sizeof text, "%.3f", seconds);
    return text;
}

// A failed attempt's diagnosis: its candidates, each with where to probe
// it when the station knows; null for any other verdict.
nlohmann::ordered_json diagnosis_json(const AttemptRecord& r)
{
    nlohmann::ordered_json diagnosis = nullptr;
    if (r.verdict == Verdict::FAILED) {
        nlohmann::ordered_json matches = nlohmann::ordered_json::array();
        for (size_t i = 0; i < r.diagnosis.size(); ++i) {
            matches.push_back({{"fault", r.diagnosis[i].name}, {"spec", r.diagnosis[i].spec}});
            if (i < r.probe_points.size() && !r.probe_points[i].empty())
                matches.back()["probe_points"] = r.probe_points[i];
        }
        diagnosis = {{"candidates", matches}};
        if (!r.diagnosis_note.empty())
            diagnosis["note"] = r.diagnosis_note;
        if (!r.diagnosis_closest.empty())
            diagnosis["closest"] = r.diagnosis_closest;
    }
    return diagnosis;
}

} // namespace

std::string json_record(const AttemptRecord& r, const RecordContext& context)
{
    nlohmann::ordered_json tests = nlohmann::ordered_json::object();
    for (int t = 0; t < BOARD_TEST_COUNT; ++t) {
        const long passed = r.counts[t][0], failed = r.counts[t][1];
        tests[TEST_NAMES[t]] = {{"passed", passed},
                                {"failed", failed},
                                {"verdict", failed ? REPORT_FAILED : passed ? REPORT_PASSED : "not run"}};
    }
    if (r.verdict == Verdict::HUNG && r.hung_test >= 0)
        tests[TEST_NAMES[r.hung_test]]["verdict"] = "hung";
    const nlohmann::ordered_json diagnosis = diagnosis_json(r);
    nlohmann::ordered_json record = {
        {"label", r.board.label},
        {"port", r.board.port},
        {"start", iso_time(r.start)},
        {"end", iso_time(r.end)},
        {"duration_s", std::round(seconds_of(r) * 1000) / 1000},
        {"verdict", verdict_text(r)},
        {"retest", r.retest},
        {"final", r.final_attempt},
        {"intermittent", r.intermittent},
        {"hung_in", r.verdict == Verdict::HUNG ? nlohmann::ordered_json(r.hung_in) : nlohmann::ordered_json(nullptr)},
        {"problem", r.problem.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(r.problem)},
        {"passes", r.passes},
        {"tests", tests},
        {"dudedoved_version", context.version},
        {"image_sha256", context.image_sha256},
        {"log", r.log},
        {"verbose_log", r.verbose_log.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(r.verbose_log)},
        {"diagnosis", diagnosis},
        {"power_log", r.power_log.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(r.power_log)},
        {"power_problem", r.power_problem.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(r.power_problem)},
    };
    // A served station's records say where the board was and who put it
    // there; a batch's keep their old shape.
    if (!r.board.fixture.empty()) {
        record["fixture"] = r.board.fixture;
        record["operator"] = r.operator_name;
        record["fixture_cycles"] = r.fixture_cycles;
        if (r.golden)
            record["golden"] = true;
        if (!r.after_repair.empty())
            record["after_repair"] = r.after_repair;
    }
    if (!r.id.empty())
        record["id"] = r.id;
    if (!context.station.empty()) {
        record["station"] = context.station;
        record["run"] = context.run;
    }
    return record.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string json_records(const std::vector<AttemptRecord>& records, const RecordContext& context)
{
    std::string text;
    for (const AttemptRecord& r : records)
        text += json_record(r, context) + '\n';
    return text;
}

StoredAttempt stored_attempt(const AttemptRecord& r, const std::string& station, const std::string& run)
{
    StoredAttempt a;
    a.id = r.id;
    a.station = station;
    a.run = run;
    a.label = r.board.label;
    a.port = r.board.port;
    a.fixture = r.board.fixture;
    a.operator_name = r.operator_name;
    a.retest = r.retest;
    a.final_attempt = r.final_attempt;
    a.intermittent = r.intermittent;
    a.golden = r.golden;
    a.fixture_cycles = r.fixture_cycles;
    a.after_repair = r.after_repair;
    a.start = iso_time(r.start);
    a.end = iso_time(r.end);
    a.verdict = verdict_name(r.verdict);
    a.problem = r.problem.empty() ? r.power_problem : r.problem;
    a.passes = r.passes;
    if (r.verdict == Verdict::HUNG)
        a.hung_in = r.hung_in;
    std::copy(&r.counts[0][0], &r.counts[0][0] + 2 * BOARD_TEST_COUNT, &a.counts[0][0]);
    for (size_t i = 0; i < r.diagnosis.size(); ++i) {
        a.diagnosis.push_back(r.diagnosis[i].name);
        a.probe_points.push_back(i < r.probe_points.size() ? r.probe_points[i] : "");
    }
    if (r.verdict == Verdict::FAILED && r.diagnosis.empty()) {
        a.diagnosis_note = r.diagnosis_note;
        a.closest = r.diagnosis_closest;
    }
    return a;
}

namespace {

struct CaseCounts {
    long tests = 0, failures = 0, errors = 0;
};

// One test case per test, whatever the passes: a burn-in's record grows with
// its boards, not its hours.
tinyxml2::XMLElement* test_case(tinyxml2::XMLDocument* doc, const AttemptRecord& r, int t, std::string* kept,
                                CaseCounts* counts)
{
    const long passed = r.counts[t][0], failed = r.counts[t][1];
    tinyxml2::XMLElement* test = doc->NewElement("testcase");
    test->SetAttribute("classname", text_of(r.board.label, kept));
    test->SetAttribute("name", TEST_NAMES[t]);
    test->SetAttribute("time", seconds_text(r.seconds[t]).c_str());
    add_properties(doc, test, {{"passed", std::to_string(passed)}, {"failed", std::to_string(failed)}});
    ++counts->tests;
    if (!failed)
        return test;
    tinyxml2::XMLElement* failure = doc->NewElement("failure");
    const std::string message = std::string(TEST_NAMES[t]) + " failed in " + std::to_string(failed) + " of " +
                                std::to_string(passed + failed) + " passes, first in pass " +
                                std::to_string(r.first_failure[t]);
    failure->SetAttribute("message", message.c_str());
    std::string text = r.failure_excerpt[t];
    for (const auto& f : r.diagnosis)
        text += "candidate: " + f.name + " (--fault " + f.spec + ")\n";
    if (!text.empty())
        failure->SetText(text_of(text, kept));
    test->InsertEndChild(failure);
    ++counts->failures;
    return test;
}

// What stopped a board, or its power, is a test case of its own, in error.
tinyxml2::XMLElement* error_case(tinyxml2::XMLDocument* doc, const AttemptRecord& r, const std::string& name,
                                 const char* type, const std::string& message, std::string* kept, CaseCounts* counts)
{
    tinyxml2::XMLElement* test = doc->NewElement("testcase");
    test->SetAttribute("classname", text_of(r.board.label, kept));
    test->SetAttribute("name", name.c_str());
    tinyxml2::XMLElement* error = doc->NewElement("error");
    error->SetAttribute("type", type);
    error->SetAttribute("message", text_of(message, kept));
    test->InsertEndChild(error);
    ++counts->errors;
    ++counts->tests;
    return test;
}

void suite_attributes(tinyxml2::XMLDocument* doc, tinyxml2::XMLElement* suite, const AttemptRecord& r,
                      const CaseCounts& counts, std::string* kept)
{
    const std::string suite_name = r.board.label + (r.retest ? " retest " + std::to_string(r.retest) : "");
    suite->SetAttribute("name", text_of(suite_name, kept));
    suite->SetAttribute("tests", static_cast<int64_t>(counts.tests));
    suite->SetAttribute("failures", static_cast<int64_t>(counts.failures));
    suite->SetAttribute("errors", static_cast<int64_t>(counts.errors));
    suite->SetAttribute("timestamp", iso_time(r.start).c_str());
    suite->SetAttribute("time", seconds_text(seconds_of(r)).c_str());
    std::vector<std::pair<std::string, std::string>> properties = {
        {"port", r.board.port}, {"verdict", verdict_text(r)}, {"passes", std::to_string(r.passes)},
        {"log", r.log}, {"retest", std::to_string(r.retest)}, {"final", r.final_attempt ? "true" : "false"},
        {"intermittent", r.intermittent ? "true" : "false"}};
    // The counts again where every JUnit reader looks: the suite's properties.
    for (int t = 0; t < BOARD_TEST_COUNT; ++t)
        for (int k = 0; k < 2; ++k)
            properties.push_back({std::string(TEST_NAMES[t]) + (k ? " failed" : " passed"),
                                  std::to_string(r.counts[t][k])});
    add_properties(doc, suite, properties);
}

tinyxml2::XMLElement* junit_suite(tinyxml2::XMLDocument* doc, const AttemptRecord& r, std::string* kept,
                                  CaseCounts* all)
{
    tinyxml2::XMLElement* suite = doc->NewElement("testsuite");
    CaseCounts counts;
    std::vector<tinyxml2::XMLElement*> cases;
    for (int t = 0; t < BOARD_TEST_COUNT; ++t)
        if (r.counts[t][0] + r.counts[t][1] > 0)
            cases.push_back(test_case(doc, r, t, kept, &counts));
    if (untested(r.verdict)) {
        std::string name = "board";
        if (r.verdict == Verdict::HUNG && r.hung_test >= 0) {
            const long ran = r.counts[r.hung_test][0] + r.counts[r.hung_test][1];
            name = std::string(TEST_NAMES[r.hung_test]) + (ran ? " hung" : "");
        }
        cases.push_back(error_case(doc, r, name, verdict_name(r.verdict), r.problem, kept, &counts));
    }
    if (!r.power_problem.empty())
        cases.push_back(error_case(doc, r, "power", "power", r.power_problem, kept, &counts));
    for (tinyxml2::XMLElement* c : cases)
        suite->InsertEndChild(c);
    suite_attributes(doc, suite, r, counts, kept);
    all->tests += counts.tests;
    all->failures += counts.failures;
    all->errors += counts.errors;
    return suite;
}

} // namespace

std::string junit_report(const std::vector<AttemptRecord>& records)
{
    std::string kept;
    tinyxml2::XMLDocument doc;
    doc.InsertEndChild(doc.NewDeclaration());
    tinyxml2::XMLElement* suites = doc.NewElement("testsuites");
    suites->SetAttribute("name", "korvastation");
    doc.InsertEndChild(suites);
    CaseCounts all;
    for (const AttemptRecord& r : records)
        suites->InsertEndChild(junit_suite(&doc, r, &kept, &all));
    suites->SetAttribute("tests", static_cast<int64_t>(all.tests));
    suites->SetAttribute("failures", static_cast<int64_t>(all.failures));
    suites->SetAttribute("errors", static_cast<int64_t>(all.errors));
    tinyxml2::XMLPrinter printer;
    doc.Print(&printer);
    return std::string(printer.CStr(), static_cast<size_t>(printer.CStrSize() - 1));
}

} // namespace korvastation
