// What the operator's page shows, as the JSON it reads: a panel per
// fixture, the last message, the day's yield.
#include <nlohmann/json.hpp>

#include "station/outputs/display.h"
#include "station/serve/serve_station.h"

namespace korvastation {

namespace {

using Json = nlohmann::ordered_json;

// What the operator does next, in words: the page never tells by colour alone.
std::string words_of(const Fixture& f, bool powered, bool selected)
{
    switch (f.state()) {
    case Fixture::State::IDLE:
        return selected ? "scan its board" : "put a board in and scan it";
    case Fixture::State::TESTING: {
        const BoardRecord& r = f.run()->record();
        if (!powered && r.phase == "waiting for the board")
            return "power the board";
        return r.running_test != NO_BOARD_TEST ? "testing" : r.phase;
    }
    case Fixture::State::VERDICT:
        return "take the board out";
    case Fixture::State::CHECK:
        return "check the fixture";
    }
    return "";
}

// PASS or FAIL as the operator reads it from afar; the rest in a word.
std::string banner_of(const BoardRecord& r)
{
    switch (r.verdict) {
    case Verdict::PASSED: return "PASS";
    case Verdict::FAILED: return "FAIL";
    case Verdict::HUNG: return "HUNG";
    case Verdict::LOST: return "LOST";
    case Verdict::NOT_TESTED: return "NOT TESTED";
    case Verdict::STOPPED: return "STOPPED";
    case Verdict::RUNNING: return "";
    }
    return "";
}

Json panel_of(const Fixture& f, const ServeConfig& config, bool selected, Json last, std::chrono::steady_clock::time_point now)
{
    Json panel = {{"name", f.spec().name},
                  {"port", f.spec().port},
                  {"state", fixture_state_name(f.state())},
                  {"words", words_of(f, config.settings.power_on.given(), selected)},
                  {"selected", selected},
                  {"suspicion", f.suspicion()},
                  {"last", std::move(last)}};
    const BoardRun* run = f.run();
    if (!run || f.state() == Fixture::State::IDLE)
        return panel;
    const BoardRecord& r = run->record();
    const TableRow row = row_of(r);
    long verdicts = 0;
    for (int t = 0; t < BOARD_TEST_COUNT; ++t)
        verdicts += r.counts[t][0] + r.counts[t][1];
    panel["serial"] = r.board.label;
    panel["test"] = row.test;
    panel["progress"] = f.state() == Fixture::State::TESTING ? std::min(1.0, verdicts / double(BOARD_TEST_COUNT)) : 1.0;
    panel["silent_s"] = run->silent_seconds(now);
    panel["retest"] = r.retest;
    if (run->done()) {
        panel["banner"] = banner_of(r);
        panel["verdict"] = verdict_text(r);
        panel["failure"] = row.failure;
        panel["diagnosis"] = diagnosis_of(r);
        const auto advice = config.advice.find(r.verdict);
        panel["advice"] = advice == config.advice.end() ? "" : advice->second;
    }
    return panel;
}

Json yield_of(const std::string& name, const YieldRow& y)
{
    return {{"name", name}, {"boards", y.boards}, {"first_pass", y.first_pass}, {"final_pass", y.final_pass}};
}

} // namespace

std::string ServeStation::page_state(Clock::time_point now) const
{
    Json panels = Json::array();
    for (size_t k = 0; k < fixtures_.size(); ++k) {
        Json last = Json::array();
        for (const FixtureBoard& b : fixtures_[k]->last_boards())
            last.push_back({{"serial", b.serial}, {"verdict", b.verdict}, {"when", b.when}});
        panels.push_back(panel_of(*fixtures_[k], config_, desk_->selected() == static_cast<int>(k), std::move(last), now));
    }
    YieldRow mine{station_name_};
    for (const YieldRow& row : yield_.by_station)
        if (row.key == station_name_)
            mine = row;
    Json confirm = nullptr;
    if (desk_->confirming() >= 0)
        confirm = {{"fixture", fixtures_[static_cast<size_t>(desk_->confirming())]->spec().name},
                   {"serial", desk_->confirming_serial()}};
    const Json state = {{"station", station_name_},
                        {"operator", operator_},
                        {"day", day_},
                        {"stopping", stopping_},
                        {"message", {{"text", message_.text}, {"refused", message_.refused}, {"number", message_.number}}},
                        {"confirm", confirm},
                        {"fixtures", panels},
                        {"yield", {yield_of("station " + station_name_, mine), yield_of("line", yield_.total)}}};
    return state.dump(-1, ' ', false, Json::error_handler_t::replace);
}

} // namespace korvastation
