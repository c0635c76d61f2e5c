// What an operator's scans come to: a fixture's label and then a board's
// serial number, checked against the fixture's pattern, its length limit,
// the fixture's business and the boards that passed today.
#include <gtest/gtest.h>

#include <set>

#include "station/serve/scan_desk.h"

namespace korvastation {
namespace {

struct Scan {
    std::string text;
    int chosen;          // the fixture chosen on the page, -1 none
    std::string answer;  // "start F1 KV000001", "select F2", "confirm F1 KV000009", "refused: ...", "ignored"
};

struct DeskCase {
    const char* name;
    size_t fixtures;  // F1 (pattern KV + 6 digits) and, with 2, F2 (any)
    std::vector<Scan> scans;
};

void PrintTo(const DeskCase& c, std::ostream* os)
{
    *os << c.name;
}

class ScanDeskTest : public testing::TestWithParam<DeskCase> {};

std::string said(const ScanAnswer& a, const ServeConfig& config)
{
    const std::string fixture = config.fixtures[a.fixture].name;
    switch (a.kind) {
    case ScanAnswer::Kind::IGNORED: return "ignored";
    case ScanAnswer::Kind::SELECTED: return "select " + fixture;
    case ScanAnswer::Kind::START: return "start " + fixture + " " + a.serial;
    case ScanAnswer::Kind::CONFIRM: return "confirm " + fixture + " " + a.serial;
    case ScanAnswer::Kind::REFUSED: return "refused: " + a.message;
    }
    return "?";
}

TEST_P(ScanDeskTest, AnswersEachScan)
{
    ServeConfig config;
    config.serial_max_length = 12;
    config.fixtures.push_back(fixture_of("F1", "/dev/ttyUSB0", "", "KV[0-9]{6}"));
    if (GetParam().fixtures == 2)
        config.fixtures.push_back(fixture_of("F2", "/dev/ttyUSB1", "", ""));
    const std::set<std::string> passed = {"KV000009"};
    ScanDesk desk(config, [&](const std::string& serial) { return passed.count(serial) > 0; });
    // F2 is testing a board whenever its name is BUSY's.
    auto busy = [](size_t k) { return k == 1 ? std::string("fixture F2 is testing X1") : std::string(); };
    auto never_busy = [](size_t) { return std::string(); };
    for (const Scan& scan : GetParam().scans) {
        const bool f2_busy = scan.text.rfind("BUSY ", 0) == 0;
        const std::string text = f2_busy ? scan.text.substr(5) : scan.text;
        EXPECT_EQ(said(desk.scan(text, scan.chosen, f2_busy ? busy : never_busy), config), scan.answer) << scan.text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Station, ScanDeskTest,
    testing::Values(
        DeskCase{"OneFixtureTakesTheBoardAlone", 1, {{"KV000001", -1, "start F1 KV000001"}}},
        DeskCase{"ScannerLineEndsAndBlanks", 1, {{" KV000001\r", -1, "start F1 KV000001"}, {"  \r", -1, "ignored"}}},
        DeskCase{"LabelThenBoard", 2,
                 {{"F2", -1, "select F2"}, {"ANY-1", -1, "start F2 ANY-1"},
                  {"ANY-2", -1, "refused: scan a fixture's label first, then its board: 'ANY-2' is no fixture's"}}},
        DeskCase{"ThePageChoosesTheFixture", 2, {{"ANY-3", 1, "start F2 ANY-3"}}},
        DeskCase{"PatternRefused", 1,
                 {{"KV12", -1, "refused: serial number 'KV12' refused: fixture F1 takes serial numbers like KV[0-9]{6}"},
                  {"XKV0000011", -1,
                   "refused: serial number 'XKV0000011' refused: fixture F1 takes serial numbers like KV[0-9]{6}"}}},
        DeskCase{"TooLong", 2,
                 {{"F2", -1, "select F2"},
                  {"ABCDEFGHIJKLM", -1, "refused: serial number 'ABCDEFGHIJKLM' refused: longer than 12 characters"}}},
        DeskCase{"ControlsAndSpaces", 2,
                 {{"F2", -1, "select F2"},
                  {"A B", -1, "refused: serial number 'A B' refused: only letters, digits and signs may stand in it"},
                  {"A\x1b[2J", -1,
                   "refused: serial number 'A\\x1b[2J' refused: only letters, digits and signs may stand in it"}}},
        DeskCase{"BusyFixtureRefusesAndKeepsNothing", 2,
                 {{"F2", -1, "select F2"}, {"BUSY ANY-4", -1, "refused: ANY-4 not started: fixture F2 is testing X1"}}},
        DeskCase{"PassedTodayAsksForAConfirmation", 1,
                 {{"KV000009", -1, "confirm F1 KV000009"}, {"KV000009", -1, "start F1 KV000009"},
                  {"KV000009", -1, "confirm F1 KV000009"}, {"KV000001", -1, "start F1 KV000001"},
                  {"KV000009", -1, "confirm F1 KV000009"}}}),
    [](const testing::TestParamInfo<DeskCase>& info) { return std::string(info.param.name); });

TEST(ScanDesk, ThePagesTestAgainConfirmsOnlyTheBoardThatWaits)
{
    ServeConfig config;
    config.fixtures.push_back(fixture_of("F1", "/dev/ttyUSB0", "", ""));
    ScanDesk desk(config, [](const std::string& serial) { return serial == "KV9"; });
    auto free = [](size_t) { return std::string(); };
    EXPECT_EQ(desk.confirm(0, free).kind, ScanAnswer::Kind::REFUSED);
    EXPECT_EQ(desk.scan("KV9", -1, free).kind, ScanAnswer::Kind::CONFIRM);
    EXPECT_EQ(desk.confirming(), 0);
    const ScanAnswer again = desk.confirm(0, free);
    EXPECT_EQ(again.kind, ScanAnswer::Kind::START);
    EXPECT_EQ(again.serial, "KV9");
    EXPECT_EQ(desk.confirming(), -1);
}

} // namespace
} // namespace korvastation
