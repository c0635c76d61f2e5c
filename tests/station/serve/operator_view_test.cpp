// What the operator's page is given for a fixture's panel: its words of
// what to do next, its banner, and the fixture's own care, from a snapshot
// of the station alone.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "station/serve/operator_view.h"

namespace korvastation {
namespace {

struct PanelCase {
    const char* name;
    FixturePanel panel;
    std::optional<AttemptRecord> board;
    const char* key;
    nlohmann::json shown;
};

void PrintTo(const PanelCase& c, std::ostream* os)
{
    *os << c.name;
}

AttemptRecord finished(Verdict verdict, int retest, bool intermittent)
{
    AttemptRecord r;
    r.board.label = "KV1";
    r.verdict = verdict;
    r.retest = retest;
    r.intermittent = intermittent;
    return r;
}

FixturePanel panel(Fixture::State state)
{
    FixturePanel p;
    p.name = "F1";
    p.state = state;
    return p;
}

FixturePanel with(FixturePanel p, long cycles, bool due, std::string golden)
{
    p.cycles = cycles;
    p.maintenance_due = due;
    p.golden_due = std::move(golden);
    return p;
}

class OperatorPanel : public testing::TestWithParam<PanelCase> {};

TEST_P(OperatorPanel, ShowsWhatTheOperatorNeeds)
{
    OperatorSnapshot s;
    s.powered = true;
    s.advice = {{Verdict::FAILED, "put it in the red tray"}};
    FixturePanel p = GetParam().panel;
    p.board = GetParam().board;
    p.done = p.board.has_value();
    s.panels = {p};
    const nlohmann::json state = nlohmann::json::parse(operator_page_state(s));
    EXPECT_EQ(state["fixtures"][0][GetParam().key], GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Station, OperatorPanel,
    testing::Values(
        PanelCase{"AnIdleFixtureAsksForABoard", panel(Fixture::State::IDLE), std::nullopt, "words", "put a board in and scan it"},
        PanelCase{"ItsGoldenBoardComesFirst", with(panel(Fixture::State::IDLE), 0, false, "KVG1"), std::nullopt, "words",
                  "test its golden board KVG1 first"},
        PanelCase{"ItsCount", with(panel(Fixture::State::IDLE), 4711, false, ""), std::nullopt, "cycles", 4711},
        PanelCase{"MaintenanceDue", with(panel(Fixture::State::IDLE), 5000, true, ""), std::nullopt, "maintenance_due", true},
        PanelCase{"APassOnARetestSaysSo", panel(Fixture::State::VERDICT), finished(Verdict::PASSED, 1, true),
                  "banner_note", "on retest: intermittent"},
        PanelCase{"AFailureSaysWhatToDo", panel(Fixture::State::VERDICT), finished(Verdict::FAILED, 0, false), "advice",
                  "put it in the red tray"},
        PanelCase{"AGoldenBoardIsMarked",
                  panel(Fixture::State::VERDICT),
                  [] {
                      AttemptRecord r = finished(Verdict::PASSED, 0, false);
                      r.golden = true;
                      return r;
                  }(),
                  "golden", true}),
    [](const testing::TestParamInfo<PanelCase>& info) { return std::string(info.param.name); });

} // namespace
} // namespace korvastation
