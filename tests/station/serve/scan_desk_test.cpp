// What an operator's scans come to: a fixture's label and then a board's
// serial number, checked against the fixture's pattern, its length limit,
// the fixture's business and the boards that passed today; each scanning
// point with a selection of its own, however two points' scans interleave.
#include <gtest/gtest.h>

#include <set>

#include "station/serve/scan_desk.h"

namespace korvastation {
namespace {

struct Scan {
    std::string point;   // "T" the terminal, "P"/"Q" two pages
    std::string text;    // "into F2" is the page's choice of F2 ("into -" of none)
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
    case ScanAnswer::Kind::CHECKED: return "checked " + fixture;
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
    // "BUSY " before a scan: F2 is testing another board. KV000777 is under
    // test in F1 all along.
    for (const Scan& scan : GetParam().scans) {
        const bool f2_busy = scan.text.rfind("BUSY ", 0) == 0;
        const std::string text = f2_busy ? scan.text.substr(5) : scan.text;
        const ScanDesk::Busy busy = [&](size_t k, const std::string& serial) {
            if (k == 1 && f2_busy)
                return std::string("fixture F2 is testing X1");
            return k != 0 && serial == "KV000777" ? std::string("KV000777 is under test in fixture F1") : std::string();
        };
        const std::string point = scan.point == "T" ? ScanDesk::TERMINAL : scan.point;
        ScanAnswer answer;
        if (text.rfind("into ", 0) == 0)
            answer = desk.select(point, text == "into -" ? -1 : text == "into F1" ? 0 : 1);
        else
            answer = desk.scan(point, text, -1, busy);
        EXPECT_EQ(text == "into -" ? "ignored" : said(answer, config), scan.answer) << scan.point << " " << scan.text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Station, ScanDeskTest,
    testing::Values(
        DeskCase{"OneFixtureTakesTheBoardAlone", 1, {{"T", "KV000001", "start F1 KV000001"}}},
        DeskCase{"ScannerLineEndsAndBlanks", 1, {{"T", " KV000001\r", "start F1 KV000001"}, {"T", "  \r", "ignored"}}},
        DeskCase{"LabelThenBoard", 2,
                 {{"T", "F2", "select F2"}, {"T", "ANY-1", "start F2 ANY-1"},
                  {"T", "ANY-2", "refused: scan a fixture's label first, then its board: 'ANY-2' is no fixture's"}}},
        DeskCase{"ThePageChoosesTheFixture", 2, {{"P", "into F2", "select F2"}, {"P", "ANY-3", "start F2 ANY-3"}}},
        DeskCase{"PatternRefusedWithAnExample", 1,
                 {{"T", "KV12", "refused: serial number 'KV12' refused: fixture F1 takes serial numbers like KV123456"},
                  {"T", "XKV0000011",
                   "refused: serial number 'XKV0000011' refused: fixture F1 takes serial numbers like KV123456"}}},
        DeskCase{"TooLong", 2,
                 {{"T", "F2", "select F2"},
                  {"T", "ABCDEFGHIJKLM", "refused: serial number 'ABCDEFGHIJKLM' refused: longer than 12 characters"}}},
        DeskCase{"ControlsAndSpaces", 2,
                 {{"T", "F2", "select F2"},
                  {"T", "A B", "refused: serial number 'A B' refused: only letters, digits and signs may stand in it"},
                  {"T", "A\x1b[2J",
                   "refused: serial number 'A\\x1b[2J' refused: only letters, digits and signs may stand in it"}}},
        DeskCase{"BusyFixtureRefusesAndKeepsNothing", 2,
                 {{"T", "F2", "select F2"}, {"T", "BUSY ANY-4", "refused: ANY-4 not started: fixture F2 is testing X1"}}},
        DeskCase{"ASerialUnderTestElsewhereIsRefused", 2,
                 {{"T", "F2", "select F2"},
                  {"T", "KV000777", "refused: KV000777 not started: KV000777 is under test in fixture F1"},
                  {"T", "ANY-5", "start F2 ANY-5"}}},
        DeskCase{"ACheckedFixturesBarcode", 2,
                 {{"T", "F1", "select F1"}, {"T", "CHECKED:F2", "checked F2"},
                  {"T", "CHECKED:F9", "refused: serial number 'CHECKED:F9' refused: fixture F1 takes serial numbers like "
                                      "KV123456"}}},
        DeskCase{"PassedTodayAsksForAConfirmation", 1,
                 {{"T", "KV000009", "confirm F1 KV000009"}, {"T", "KV000009", "start F1 KV000009"},
                  {"T", "KV000009", "confirm F1 KV000009"}, {"T", "KV000001", "start F1 KV000001"},
                  {"T", "KV000009", "confirm F1 KV000009"}}},
        // Two scanning points, their scans interleaved.
        DeskCase{"AScannedLabelBeatsThePagesEarlierChoice", 2,
                 {{"P", "into F2", "select F2"}, {"P", "F1", "select F1"}, {"P", "KV009012", "start F1 KV009012"}}},
        DeskCase{"ALabelAtTheTerminalNeverRedirectsThePage", 2,
                 {{"T", "F1", "select F1"}, {"P", "into F2", "select F2"}, {"T", "KV009013", "start F1 KV009013"},
                  {"P", "ANY-6", "start F2 ANY-6"}}},
        DeskCase{"TwoPagesKeepTheirOwnSelections", 2,
                 {{"P", "F2", "select F2"}, {"Q", "F1", "select F1"}, {"P", "ANY-7", "start F2 ANY-7"},
                  {"Q", "KV000002", "start F1 KV000002"},
                  {"P", "ANY-8", "refused: scan a fixture's label first, then its board: 'ANY-8' is no fixture's"}}},
        DeskCase{"ASelectionAtOnePointLeavesTheOtherWithout", 2,
                 {{"T", "F2", "select F2"},
                  {"P", "ANY-9", "refused: scan a fixture's label first, then its board: 'ANY-9' is no fixture's"},
                  {"T", "ANY-9", "start F2 ANY-9"}}},
        DeskCase{"TheSecondScanMustComeFromTheSamePoint", 1,
                 {{"T", "KV000009", "confirm F1 KV000009"}, {"P", "KV000009", "confirm F1 KV000009"},
                  {"P", "KV000009", "start F1 KV000009"}}},
        DeskCase{"ThePageClearsItsChoice", 2,
                 {{"P", "into F2", "select F2"}, {"P", "into -", "ignored"},
                  {"P", "ANY-10", "refused: scan a fixture's label first, then its board: 'ANY-10' is no fixture's"}}}),
    [](const testing::TestParamInfo<DeskCase>& info) { return std::string(info.param.name); });

TEST(ScanDesk, ThePagesTestAgainConfirmsOnlyTheBoardThatWaitsAtItsPoint)
{
    ServeConfig config;
    config.fixtures.push_back(fixture_of("F1", "/dev/ttyUSB0", "", ""));
    ScanDesk desk(config, [](const std::string& serial) { return serial == "KV9"; });
    const ScanDesk::Busy free = [](size_t, const std::string&) { return std::string(); };
    EXPECT_EQ(desk.confirm("P", 0, free).kind, ScanAnswer::Kind::REFUSED);
    EXPECT_EQ(desk.scan("P", "KV9", -1, free).kind, ScanAnswer::Kind::CONFIRM);
    EXPECT_EQ(desk.points().at("P").confirm_fixture, 0);
    EXPECT_EQ(desk.confirm("Q", 0, free).kind, ScanAnswer::Kind::REFUSED);
    const ScanAnswer again = desk.confirm("P", 0, free);
    EXPECT_EQ(again.kind, ScanAnswer::Kind::START);
    EXPECT_EQ(again.serial, "KV9");
    EXPECT_EQ(desk.points().at("P").confirm_fixture, -1);
}

TEST(ScanDesk, PagesBeyondTheLimitForgetTheLeastUsedPoint)
{
    ServeConfig config;
    config.fixtures = {fixture_of("F1", "/dev/ttyUSB0"), fixture_of("F2", "/dev/ttyUSB1")};
    ScanDesk desk(config, [](const std::string&) { return false; });
    desk.select(ScanDesk::TERMINAL, 1);
    for (size_t i = 0; i < ScanDesk::MOST_POINTS * 2; ++i) {
        desk.select("page" + std::to_string(i), 0);
        desk.select(ScanDesk::TERMINAL, 1);  // the terminal keeps scanning
    }
    EXPECT_EQ(desk.points().size(), ScanDesk::MOST_POINTS);
    EXPECT_EQ(desk.points().at(ScanDesk::TERMINAL).selected, 1);
    EXPECT_EQ(desk.points().count("page0"), 0u);
}

} // namespace
} // namespace korvastation
