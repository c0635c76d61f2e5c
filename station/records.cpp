#include "records.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <tinyxml2.h>

#include "report_lines.h"

using korvasim::Result;

namespace {

double seconds_of(const BoardRecord& r)
{
    return std::chrono::duration<double>(r.end - r.start).count();
}

std::string seconds_text(double seconds)
{
    char text[32];
    snprintf(text, sizeof text, "%.3f", seconds);
    return text;
}

} // namespace

std::string iso_time(std::chrono::system_clock::time_point t)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    const time_t seconds = static_cast<time_t>(ms / 1000);
    tm utc;
    gmtime_r(&seconds, &utc);
    char text[40];
    const size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(ms % 1000));
    return text;
}

std::string json_record(const BoardRecord& r, const RecordContext& context)
{
    nlohmann::ordered_json tests = nlohmann::ordered_json::object();
    for (int t = 0; t < 3; ++t) {
        const long passed = r.counts[t][0], failed = r.counts[t][1];
        tests[TEST_NAMES[t]] = {{"passed", passed},
                                {"failed", failed},
                                {"verdict", failed ? REPORT_FAILED : passed ? REPORT_PASSED : "not run"}};
    }
    if (r.verdict == Verdict::HUNG && r.hung_test >= 0)
        tests[TEST_NAMES[r.hung_test]]["verdict"] = "hung";
    nlohmann::ordered_json diagnosis = nullptr;
    if (r.verdict == Verdict::FAILED) {
        nlohmann::ordered_json matches = nlohmann::ordered_json::array();
        for (const auto& f : r.diagnosis)
            matches.push_back({{"fault", f.name}, {"spec", f.spec}});
        diagnosis = {{"candidates", matches}};
        if (!r.diagnosis_note.empty())
            diagnosis["note"] = r.diagnosis_note;
    }
    nlohmann::ordered_json record = {
        {"label", r.board.label},
        {"port", r.board.port},
        {"start", iso_time(r.start)},
        {"end", iso_time(r.end)},
        {"duration_s", std::round(seconds_of(r) * 1000) / 1000},
        {"verdict", verdict_name(r.verdict)},
        {"hung_in", r.verdict == Verdict::HUNG ? (r.hung_test >= 0 ? TEST_NAMES[r.hung_test] : "wake-up")
                                               : nlohmann::ordered_json(nullptr)},
        {"problem", r.problem.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(r.problem)},
        {"passes", r.passes},
        {"tests", tests},
        {"dudedoved_version", context.version},
        {"image_sha256", context.image_sha256},
        {"log", r.log},
        {"verbose_log", r.verbose_log.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(r.verbose_log)},
        {"diagnosis", diagnosis},
    };
    return record.dump();
}

Result write_json(const std::string& path, bool append, const std::vector<BoardRecord>& records,
                  const RecordContext& context)
{
    std::ofstream out(path, append ? std::ios::app : std::ios::trunc);
    for (const BoardRecord& r : records)
        out << json_record(r, context) << '\n';
    out.flush();
    if (!out)
        return Result::failure("cannot write JSON records to " + path + ": " + strerror(errno));
    return Result::ok();
}

Result write_junit(const std::string& path, const std::vector<BoardRecord>& records)
{
    tinyxml2::XMLDocument doc;
    doc.InsertEndChild(doc.NewDeclaration());
    tinyxml2::XMLElement* suites = doc.NewElement("testsuites");
    suites->SetAttribute("name", "korvastation");
    doc.InsertEndChild(suites);
    long all_tests = 0, all_failures = 0, all_errors = 0;
    for (const BoardRecord& r : records) {
        tinyxml2::XMLElement* suite = doc.NewElement("testsuite");
        suites->InsertEndChild(suite);
        long failures = 0, errors = 0;
        for (const TestResult& t : r.results) {
            tinyxml2::XMLElement* test = doc.NewElement("testcase");
            test->SetAttribute("classname", r.board.label.c_str());
            test->SetAttribute("name", (std::string(TEST_NAMES[t.test]) + " pass " + std::to_string(t.pass)).c_str());
            test->SetAttribute("time", seconds_text(t.seconds).c_str());
            if (!t.passed) {
                tinyxml2::XMLElement* failure = doc.NewElement("failure");
                failure->SetAttribute("message", (std::string(TEST_NAMES[t.test]) + " failed").c_str());
                std::string text;
                for (const auto& f : r.diagnosis)
                    text += "candidate: " + f.name + " (--fault " + f.spec + ")\n";
                if (!text.empty())
                    failure->SetText(text.c_str());
                test->InsertEndChild(failure);
                ++failures;
            }
            suite->InsertEndChild(test);
        }
        if (untested(r.verdict)) {
            // What stopped the board is a test case of its own, in error.
            tinyxml2::XMLElement* test = doc.NewElement("testcase");
            test->SetAttribute("classname", r.board.label.c_str());
            const std::string name = r.verdict == Verdict::HUNG && r.hung_test >= 0
                                         ? std::string(TEST_NAMES[r.hung_test]) + " pass " + std::to_string(r.passes + 1)
                                         : std::string("board");
            test->SetAttribute("name", name.c_str());
            tinyxml2::XMLElement* error = doc.NewElement("error");
            error->SetAttribute("type", verdict_name(r.verdict));
            error->SetAttribute("message", r.problem.c_str());
            test->InsertEndChild(error);
            suite->InsertEndChild(test);
            ++errors;
        }
        const long tests = static_cast<long>(r.results.size()) + (untested(r.verdict) ? 1 : 0);
        suite->SetAttribute("name", r.board.label.c_str());
        suite->SetAttribute("tests", static_cast<int64_t>(tests));
        suite->SetAttribute("failures", static_cast<int64_t>(failures));
        suite->SetAttribute("errors", static_cast<int64_t>(errors));
        suite->SetAttribute("timestamp", iso_time(r.start).c_str());
        suite->SetAttribute("time", seconds_text(seconds_of(r)).c_str());
        tinyxml2::XMLElement* properties = doc.NewElement("properties");
        for (const auto& [name, value] : {std::pair<const char*, std::string>{"port", r.board.port},
                                          {"verdict", verdict_name(r.verdict)},
                                          {"log", r.log}}) {
            tinyxml2::XMLElement* property = doc.NewElement("property");
            property->SetAttribute("name", name);
            property->SetAttribute("value", value.c_str());
            properties->InsertEndChild(property);
        }
        suite->InsertFirstChild(properties);
        all_tests += tests;
        all_failures += failures;
        all_errors += errors;
    }
    suites->SetAttribute("tests", static_cast<int64_t>(all_tests));
    suites->SetAttribute("failures", static_cast<int64_t>(all_failures));
    suites->SetAttribute("errors", static_cast<int64_t>(all_errors));
    if (doc.SaveFile(path.c_str()) != tinyxml2::XML_SUCCESS)
        return Result::failure("cannot write the JUnit report " + path + ": " + strerror(errno));
    return Result::ok();
}
