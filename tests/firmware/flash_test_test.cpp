// The flash test: four queries, three fields each, the code of the last
// mismatching field.
#include <gtest/gtest.h>

#include "tests/support/case_name.h"
#include "firmware/board_map.h"
#include "tests/firmware/monitor_session.h"

namespace {

const std::string SOUND_QUERY_LINES = "V1\r\nS18\r\nB1\r\n";

struct FlashCase {
    const char* name;
    std::vector<std::string> faults;
    char code;
    std::vector<std::string> printed;  // lines that must appear in the report
};

class FlashTest : public testing::TestWithParam<FlashCase> {};

TEST_P(FlashTest, CodeAndPrintedFields)
{
    Monitor quiet(with_faults(GetParam().faults));
    EXPECT_EQ(quiet.command("2"), std::string(":") + GetParam().code + "?");

    Monitor verbose(with_faults(GetParam().faults));
    verbose.command("v");
    const std::string answer = verbose.command("2");
    EXPECT_EQ(answer.substr(answer.size() - 3), std::string(":") + GetParam().code + "?");
    const auto lines = korvasim::text_lines(report_of(answer));
    ASSERT_EQ(lines.size(), 16u);
    for (int n = 0; n < 4; ++n)
        EXPECT_EQ(lines[4 * n], std::to_string(n));
    for (const auto& line : GetParam().printed)
        EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
}

INSTANTIATE_TEST_SUITE_P(
    Flash, FlashTest,
    testing::Values(
        FlashCase{"Sound", {}, '0', {"V1", "S18", "B1"}},
        FlashCase{"LaterVWinsOverEarlierB", {"flash.q0.B=5", "flash.q1.V=0"}, '1', {"B5", "V0"}},
        FlashCase{"AllFieldsOfOneQuery", {"flash.q2.V=0", "flash.q2.S=6", "flash.q2.B=5"}, '3',
                  {"V0", "S6", "B5"}},
        FlashCase{"OnlySOfTheLastQuery", {"flash.q3.S=6"}, '2', {"S6"}},
        FlashCase{"BOfTheFirstQuery", {"flash.q0.B=0"}, '3', {"B0"}}),
    CaseName());

TEST(Flash, SoundBlockReportIsSixtyFourBytes)
{
    Monitor monitor;
    monitor.command("v");
    EXPECT_EQ(monitor.command("2"), "0\r\n" + SOUND_QUERY_LINES + "1\r\n" + SOUND_QUERY_LINES +
                                        "2\r\n" + SOUND_QUERY_LINES + "3\r\n" + SOUND_QUERY_LINES +
                                        ":0?");
}

TEST(Flash, ControlValueBeforeEveryCommandWord)
{
    std::vector<korvasim::TraceRecord> trace;
    korvasim::BoardConfig config;
    config.trace = [&](const korvasim::TraceRecord& r) {
        if (r.address >> 24 == FLASH_REG_BASE >> 24)
            trace.push_back(r);
    };
    Monitor monitor(config);
    monitor.command("2");
    std::vector<std::string> writes;
    int status_reads = 0;
    for (const auto& r : trace) {
        if (r.kind == 'W')
            writes.push_back(korvasim::format_trace(r).substr(korvasim::format_trace(r).find(' ') + 1));
        else
            ++status_reads;
    }
    EXPECT_EQ(writes, (std::vector<std::string>{
                          "W 0x51000100 4 0x00000007", "W 0x51000000 4 0x00000001",
                          "W 0x51000100 4 0x00000007", "W 0x51000000 4 0x00000011",
                          "W 0x51000100 4 0x00000007", "W 0x51000000 4 0x00000021",
                          "W 0x51000100 4 0x00000007", "W 0x51000000 4 0x00000031"}));
    // Per query: the busy reads, the first ready read, then the evaluated one.
    EXPECT_EQ(status_reads, 4 * (korvasim::FlashBlock::BUSY_READS + 2));
}

TEST(Flash, NeverReadyBlockHoldsTheMonitorInItsWait)
{
    Monitor monitor(with_faults({"flash.busy"}));
    EXPECT_EQ(monitor.command("3"), ":0?");
    monitor.board().send("2");
    EXPECT_FALSE(monitor.board().wait_idle(500));
    const uint64_t ticks = monitor.board().ticks();
    EXPECT_FALSE(monitor.board().wait_idle(100));
    EXPECT_GT(monitor.board().ticks(), ticks);  // still ticking in its wait
    EXPECT_EQ(monitor.board().output(), "?:0?");
}

} // namespace
