// A served station's JSON records read back as the database keeps them: the
// day folder is the station's own record, from which an attempt the
// database has not taken yet is written into it later.
#include <nlohmann/json.hpp>

#include "station/outputs/records.h"

namespace korvastation {

using korvasim::Result;

namespace {

std::string text_of(const nlohmann::json& r, const char* key)
{
    return r.contains(key) && r[key].is_string() ? r[key].get<std::string>() : "";
}

void read_diagnosis(const nlohmann::json& r, StoredAttempt* a)
{
    a->diagnosis.clear();
    a->probe_points.clear();
    if (!r.contains("diagnosis") || !r["diagnosis"].is_object())
        return;
    const nlohmann::json& d = r["diagnosis"];
    for (const auto& candidate : d.value("candidates", nlohmann::json::array())) {
        a->diagnosis.push_back(candidate.at("fault").get<std::string>());
        a->probe_points.push_back(candidate.value("probe_points", ""));
    }
    if (a->diagnosis.empty()) {
        a->diagnosis_note = d.value("note", "");
        a->closest = d.value("closest", "");
    }
}

} // namespace

Result stored_attempt_of(const std::string& line, StoredAttempt* a)
{
    const nlohmann::json r = nlohmann::json::parse(line, nullptr, false);
    if (!r.is_object() || !r.contains("id") || !r.contains("station") || !r.contains("tests"))
        return Result::failure("not an attempt's record with its identity and station");
    try {
        a->id = r.at("id").get<std::string>();
        a->station = r.at("station").get<std::string>();
        a->run = text_of(r, "run");
        a->label = r.at("label").get<std::string>();
        a->port = r.at("port").get<std::string>();
        a->fixture = text_of(r, "fixture");
        a->operator_name = text_of(r, "operator");
        a->retest = r.at("retest").get<int>();
        a->final_attempt = r.at("final").get<bool>();
        a->intermittent = r.at("intermittent").get<bool>();
        a->golden = r.value("golden", false);
        a->fixture_cycles = r.value("fixture_cycles", 0L);
        a->after_repair = text_of(r, "after_repair");
        a->start = r.at("start").get<std::string>();
        a->end = r.at("end").get<std::string>();
        // "passed on retest 2" is a pass.
        const std::string verdict = r.at("verdict").get<std::string>();
        a->verdict = verdict.rfind("passed", 0) == 0 ? "passed" : verdict;
        a->problem = text_of(r, "problem").empty() ? text_of(r, "power_problem") : text_of(r, "problem");
        a->hung_in = text_of(r, "hung_in");
        a->passes = r.at("passes").get<long>();
        for (int t = 0; t < BOARD_TEST_COUNT; ++t) {
            a->counts[t][0] = r.at("tests").at(TEST_NAMES[t]).at("passed").get<long>();
            a->counts[t][1] = r.at("tests").at(TEST_NAMES[t]).at("failed").get<long>();
        }
        read_diagnosis(r, a);
    } catch (const nlohmann::json::exception& e) {
        return Result::failure(std::string("a record without its fields: ") + e.what());
    }
    return Result::ok();
}

} // namespace korvastation
