// A board whose monitor was already running when dudedoved started (never
// power-cycled, or still reporting after a run stopped with CTRL-C) answers
// the image's bytes as commands. Whatever is wrong with it, the tool must
// stop without a verdict, never pass it.
#include <gtest/gtest.h>

#include <cctype>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

#include "link/board_protocol.h"
#include "tests/support/case_name.h"
#include "sim/analysis/fault_catalogue.h"
#include "tests/support/loopback.h"
#include "tests/support/session.h"

namespace {

const int RUN_TIMEOUT_MS = 60000;
const size_t BOARDS_AT_ONCE = 16;

std::string first_line(const Session& process)
{
    return process.out().substr(0, process.out().find('\n'));
}

struct FaultGroup {
    std::string name;
    std::vector<korvasim::CatalogueFault> faults;
};

// The catalogue in groups small enough to run at once.
std::vector<FaultGroup> catalogue_groups()
{
    std::vector<FaultGroup> groups;
    for (const korvasim::CatalogueFault& fault : korvasim::fault_catalogue()) {
        if (groups.empty() || groups.back().faults.size() == BOARDS_AT_ONCE)
            groups.push_back({"Faults" + std::to_string(groups.size() * BOARDS_AT_ONCE), {}});
        groups.back().faults.push_back(fault);
    }
    return groups;
}

std::string lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

class RunningMonitorTest : public testing::TestWithParam<FaultGroup> {};

TEST_P(RunningMonitorTest, NeverPassesTheFaultyTest)
{
    // --image boots the monitor at power-on, without the loader: its first
    // prompt is taken for the wake-up byte. The power goes on only once the
    // tool waits, so that the prompt cannot come before the tool has the port.
    const std::string dir = make_temp_dir();
    std::vector<std::unique_ptr<Session>> boards, tools;
    for (size_t i = 0; i < GetParam().faults.size(); ++i) {
        const std::string power = dir + "/power" + std::to_string(i);
        boards.push_back(std::make_unique<Session>(
            KORVASIM_PATH, ChildOptions{{"--image", BOOT_IMAGE_BIN, "--power", power, "--fault",
                                         GetParam().faults[i].spec},
                                        {},
                                        {}}));
        ASSERT_TRUE(boards.back()->wait_stdout("\n", RUN_TIMEOUT_MS)) << boards.back()->err();
    }
    for (size_t i = 0; i < boards.size(); ++i)
        tools.push_back(std::make_unique<Session>(
            DUDEDOVED_PATH,
            ChildOptions{{"-p", first_line(*boards[i]), lower(GetParam().faults[i].part)}, {}, {}}));
    for (size_t i = 0; i < tools.size(); ++i) {
        ASSERT_TRUE(tools[i]->wait_stdout(WAKE_UP_MESSAGE, RUN_TIMEOUT_MS)) << tools[i]->err();
        switch_power(dir + "/power" + std::to_string(i), "on");
    }
    for (size_t i = 0; i < tools.size(); ++i) {
        const std::string& spec = GetParam().faults[i].spec;
        EXPECT_EQ(tools[i]->wait_exit(RUN_TIMEOUT_MS), 1) << spec;
        EXPECT_EQ(tools[i]->err(), std::string(OUT_OF_STEP_MESSAGE) + "\n") << spec;
        EXPECT_EQ(tools[i]->out().find("passed"), std::string::npos) << spec;
    }
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, RunningMonitorTest, testing::ValuesIn(catalogue_groups()), CaseName());

TEST(EndToEnd, ABoardStillReportingWhenASecondRunStartsIsOutOfStep)
{
    const std::string dir = make_temp_dir();
    const std::string power = dir + "/power";
    Session board(KORVASIM_PATH, ChildOptions{{"--power", power, "--fault", "sram.d3=0"}, {}, {}});
    ASSERT_TRUE(board.wait_stdout("\n", RUN_TIMEOUT_MS)) << board.err();
    const std::string port = first_line(board);
    {
        // A paced verbose run, stopped with CTRL-C in the middle of a report.
        // As on a bench, the tool waits before the board is switched on.
        Session first(DUDEDOVED_PATH, ChildOptions{{"-p", port, "-v", "-c"}, {}, {}});
        ASSERT_TRUE(first.wait_stdout(WAKE_UP_MESSAGE, RUN_TIMEOUT_MS)) << first.err();
        switch_power(power, "on");
        ASSERT_TRUE(first.wait_stdout("Testing SDRAM...\nD0\r\n", RUN_TIMEOUT_MS)) << first.err();
        first.signal(SIGINT);
        EXPECT_EQ(first.wait_exit(RUN_TIMEOUT_MS), 128 + SIGINT);
    }
    Session second(DUDEDOVED_PATH, ChildOptions{{"-p", port}, {}, {}});
    EXPECT_EQ(second.wait_exit(RUN_TIMEOUT_MS), 1);
    EXPECT_EQ(second.err(), std::string(OUT_OF_STEP_MESSAGE) + "\n");
    EXPECT_EQ(second.out().find("passed"), std::string::npos) << second.out();
    // Power-cycled, as the message asks, the board is tested as it is.
    switch_power(power, "off");
    Session third(DUDEDOVED_PATH, ChildOptions{{"-p", port}, {}, {}});
    ASSERT_TRUE(third.wait_stdout(WAKE_UP_MESSAGE, RUN_TIMEOUT_MS)) << third.err();
    switch_power(power, "on");
    EXPECT_EQ(third.wait_exit(RUN_TIMEOUT_MS), 1) << third.err();
    EXPECT_EQ(console_results(third.out()),
              "Testing SDRAM... passed\nTesting FLASH... passed\nTesting SRAM... failed\n");
}

} // namespace
