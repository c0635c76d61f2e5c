// The power command line split into words once and filled in per board:
// without a shell no value is ever split or run; with one, each value is
// quoted.
#include <gtest/gtest.h>

#include "station/run/power_command.h"
#include "station/run/station_settings.h"

namespace korvastation {
namespace {

struct PowerLineCase {
    const char* name;
    std::string line;
    bool shell;
    BoardSpec board;
    std::vector<std::string> words;
};

void PrintTo(const PowerLineCase& c, std::ostream* os)
{
    *os << c.name;
}

class PowerLineTest : public testing::TestWithParam<PowerLineCase> {};

TEST_P(PowerLineTest, GivesEachBoardItsWords)
{
    PowerCommandLine line;
    ASSERT_TRUE(line.parse("--power-on", GetParam().line, GetParam().shell));
    EXPECT_EQ(line.for_board(GetParam().board), GetParam().words);
    EXPECT_EQ(line.uses_switch(), GetParam().line.find("{switch}") != std::string::npos);
}

const BoardSpec HOSTILE{"/dev/ttyUSB0", "SN 7'; rm -rf ~", "$(reboot)", "", ""};

INSTANTIATE_TEST_SUITE_P(
    Station, PowerLineTest,
    testing::Values(
        PowerLineCase{"Placeholders", "relay --channel {switch} on", false, {"/dev/ttyUSB0", "B7", "3", "", ""},
                      {"relay", "--channel", "3", "on"}},
        PowerLineCase{"QuotesGroupWords", "hub 'port {switch}' \"{label}\"", false, {"1", "B7", "2", "", ""},
                      {"hub", "port 2", "B7"}},
        PowerLineCase{"AValueIsOneWordWhateverItHolds", "relay {label} {switch}", false, HOSTILE,
                      {"relay", "SN 7'; rm -rf ~", "$(reboot)"}},
        PowerLineCase{"APlaceholderInsideAWord", "relay --port={port}", false, {"/dev/ttyS1", "A", "", "", ""},
                      {"relay", "--port=/dev/ttyS1"}},
        PowerLineCase{"TheShellGetsQuotedValues", "relay {label} {switch} && sleep 1", true, HOSTILE,
                      {"/bin/sh", "-c", "relay 'SN 7'\\''; rm -rf ~' '$(reboot)' && sleep 1"}}),
    [](const testing::TestParamInfo<PowerLineCase>& info) { return std::string(info.param.name); });

} // namespace
} // namespace korvastation
