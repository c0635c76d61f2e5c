// The monitor console: hexadecimal output, the output gate, line pacing and
// the tick of every unmet wait.
#include <gtest/gtest.h>

#include "firmware/monitor_settings.h"
#include "tests/firmware/monitor_session.h"
#include "tests/support/case_name.h"

namespace {

struct HexCase {
    const char* fault;     // makes the report print the value
    const char* command;
    const char* printed;   // a report line that carries it
};

class HexOutputTest : public testing::TestWithParam<HexCase> {};

TEST_P(HexOutputTest, DigitsWithoutPrefixOrLeadingZeros)
{
    Monitor monitor(with_faults({GetParam().fault}));
    monitor.command("v");
    const std::vector<std::string> lines = korvasim::text_lines(report_of(monitor.command(GetParam().command)));
    EXPECT_NE(std::find(lines.begin(), lines.end(), GetParam().printed), lines.end());
}

INSTANTIATE_TEST_SUITE_P(
    Console, HexOutputTest,
    testing::Values(HexCase{"flash.q0.V=0", "2", "V0"}, HexCase{"flash.q0.V=9", "2", "V9"},
                    HexCase{"flash.q0.V=10", "2", "Va"}, HexCase{"flash.q0.V=0x18", "2", "V18"},
                    HexCase{"flash.q0.V=0xff", "2", "Vff"},
                    HexCase{"flash.q0.V=1", "1", " 100w7"},  // sound SDRAM: offset 0x100
                    HexCase{"sdram.d0=1", "1", " 8rffffffff"}));

class GateTest : public testing::Test {
protected:
    // Ticks made by one command, from the byte's arrival to the next wait.
    uint64_t ticks_of(Monitor& monitor, const std::string& command)
    {
        const uint64_t before = monitor.board().ticks();
        answer_ = monitor.command(command);
        return monitor.board().ticks() - before;
    }
    std::string answer_;
};

TEST_F(GateTest, ClosedGateSendsNothingAndMakesNoTick)
{
    Monitor monitor(instant_line());
    const uint64_t idle = ticks_of(monitor, "x");
    EXPECT_GT(idle, 0u);
    for (const char* test : {"1", "3"}) {
        EXPECT_EQ(ticks_of(monitor, test), idle) << test;
        EXPECT_EQ(answer_, ":0?");
    }
    // The flash test's own busy wait still ticks: once per busy status read.
    EXPECT_EQ(ticks_of(monitor, "2"), idle + 4 * korvasim::FlashBlock::BUSY_READS);
    EXPECT_EQ(answer_, ":0?");
}

TEST_F(GateTest, WaitFoundMetAtTheFirstPollMakesNoTick)
{
    Monitor monitor(instant_line());
    const uint64_t one = ticks_of(monitor, "x");
    // The second byte is waiting when the monitor comes to read it.
    EXPECT_EQ(ticks_of(monitor, "xx"), one);
    EXPECT_EQ(answer_, ":0?:0?");
}

// Instructions that one command costs; the trace makes the board count them.
uint64_t instructions_of(Monitor& monitor, const std::string& command)
{
    const uint64_t before = monitor.board().instructions();
    monitor.command(command);
    return monitor.board().instructions() - before;
}

korvasim::BoardConfig counting()
{
    korvasim::BoardConfig config = instant_line();
    config.trace = [](const korvasim::TraceRecord&) {};
    return config;
}

TEST(Pacing, DelayOnlyWithTheGateOpenAndPacingOn)
{
    Monitor quiet(counting());
    const uint64_t plain = instructions_of(quiet, "2");
    quiet.command("s");
    EXPECT_EQ(instructions_of(quiet, "2"), plain);  // pacing unseen while quiet
    quiet.command("v");
    const uint64_t paced = instructions_of(quiet, "2");

    Monitor verbose(counting());
    verbose.command("v");
    const uint64_t unpaced = instructions_of(verbose, "2");
    // Sixteen report lines, each followed by 200000 counted passes.
    const uint64_t delay = paced - unpaced;
    EXPECT_GE(delay, 16ull * PACE_DELAY_COUNT * 3);
    EXPECT_LE(delay, 16ull * PACE_DELAY_COUNT * 12);
    EXPECT_LT(unpaced - plain, 20000u);
}

} // namespace
