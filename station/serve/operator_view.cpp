#include "station/serve/operator_view.h"

#include <nlohmann/json.hpp>

#include "station/outputs/display.h"

namespace korvastation {

namespace {

using Json = nlohmann::ordered_json;

// What the operator does next, in words: the page never tells by colour alone.
std::string words_of(const FixturePanel& f, bool powered)
{
    switch (f.state) {
    case Fixture::State::IDLE:
        if (!f.golden_due.empty())
            return "test its golden board " + f.golden_due + " first";
        return f.selected ? "scan its board" : "put a board in and scan it";
    case Fixture::State::TESTING: {
        const AttemptRecord& r = *f.board;
        if (!powered && r.phase == Phase::WAITING_FOR_BOARD)
            return "power the board";
        // A board is switched off first to start it from its loader: to the
        // operator that is the board being powered, never "powered off".
        if (r.phase == Phase::POWERING_OFF || r.phase == Phase::POWERED_OFF)
            return "powering the board";
        return r.running_test != NO_BOARD_TEST ? "testing" : phase_text(r);
    }
    case Fixture::State::VERDICT:
        return "take the board out";
    case Fixture::State::CHECK:
        return "check the fixture";
    }
    return "";
}

// PASS or FAIL as the operator reads it from afar; the rest in a word.
std::string banner_of(const AttemptRecord& r)
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

Json panel_of(const FixturePanel& f, const OperatorSnapshot& s)
{
    Json last = Json::array();
    for (const RecentBoard& b : f.last)
        last.push_back({{"serial", b.serial}, {"verdict", b.verdict}, {"when", b.when}});
    Json panel = {{"name", f.name},
                  {"port", f.port},
                  {"state", fixture_state_name(f.state)},
                  {"words", words_of(f, s.powered)},
                  {"selected", f.selected},
                  {"port_missing", f.port_missing},
                  {"suspicion", f.suspicion},
                  {"cycles", f.cycles},
                  {"maintenance_due", f.maintenance_due},
                  {"golden_due", f.golden_due},
                  {"last", std::move(last)}};
    if (!f.board || f.state == Fixture::State::IDLE)
        return panel;
    const AttemptRecord& r = *f.board;
    const TableRow row = row_of(r);
    long verdicts = 0;
    for (int t = 0; t < BOARD_TEST_COUNT; ++t)
        verdicts += r.counts[t][0] + r.counts[t][1];
    panel["serial"] = r.board.label;
    panel["test"] = row.test;
    panel["progress"] = f.state == Fixture::State::TESTING ? std::min(1.0, verdicts / double(BOARD_TEST_COUNT)) : 1.0;
    panel["silent_s"] = f.silent_s;
    panel["retest"] = r.retest;
    panel["golden"] = r.golden;
    if (f.done) {
        panel["banner"] = banner_of(r);
        // A pass that needed another attempt is said to be one.
        if (r.verdict == Verdict::PASSED && r.retest > 0)
            panel["banner_note"] = std::string("on retest") + (r.intermittent ? ": intermittent" : "");
        panel["verdict"] = verdict_text(r);
        panel["failure"] = row.failure;
        panel["diagnosis"] = diagnosis_of(r);
        panel["probe_points"] = probe_points_of(r);
        const auto advice = s.advice.find(r.verdict);
        panel["advice"] = advice == s.advice.end() ? "" : advice->second;
    }
    return panel;
}

Json yield_of(const std::string& name, const YieldRow& y)
{
    return {{"name", name}, {"boards", y.boards}, {"first_pass", y.first_pass}, {"final_pass", y.final_pass}};
}

} // namespace

std::string operator_page_state(const OperatorSnapshot& s)
{
    Json panels = Json::array();
    for (const FixturePanel& f : s.panels)
        panels.push_back(panel_of(f, s));
    Json points = Json::object();
    for (const auto& [name, choice] : s.points) {
        Json confirm = nullptr;
        if (!choice.confirm_fixture.empty())
            confirm = {{"fixture", choice.confirm_fixture}, {"serial", choice.confirm_serial}};
        points[name] = {{"selected", choice.selected}, {"confirm", confirm}};
    }
    const Json state = {{"station", s.station},
                        {"operator", s.operator_name},
                        {"day", s.day},
                        {"stopping", s.stopping},
                        {"message",
                         {{"text", s.message.text},
                          {"refused", s.message.refused},
                          {"number", s.message.number},
                          {"point", s.message.point}}},
                        {"points", points},
                        {"records", {{"trouble", s.records_trouble}}},
                        {"hand_off", {{"waiting", s.hand_off_waiting}}},
                        {"database", {{"trouble", s.database_trouble}, {"waiting", s.database_waiting}}},
                        {"fixtures", panels},
                        {"repair",
                         {{"actions", s.repair_actions},
                          {"require_repair", s.require_repair},
                          {"lookups", s.repair_lookups},
                          {"waiting", s.waiting_for_repair}}},
                        {"yield", {yield_of("station " + s.station, s.mine), yield_of("line", s.line)}}};
    return state.dump(-1, ' ', false, Json::error_handler_t::replace);
}

} // namespace korvastation
