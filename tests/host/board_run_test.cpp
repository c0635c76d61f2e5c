// dudedoved against a scripted board on a pseudo-terminal: the test plays the
// loader and the monitor and records every byte the tool sends.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <poll.h>
#include <unistd.h>

#include "tests/support/case_name.h"
#include "link/board_protocol.h"
#include "firmware/boot_image.h"
#include "link/serial_port.h"
#include "tests/host/scripted_board.h"
#include "tests/support/session.h"

namespace {


TEST(Download, ProgressFiguresFollowTheBlocks)
{
    const std::vector<unsigned> expected = {3,  6,  9,  12, 16, 19, 22, 25, 29, 32,
                                            35, 38, 42, 45, 48, 51, 55, 58, 61, 64,
                                            68, 71, 74, 77, 81, 84, 87, 90, 94, 97};
    std::vector<unsigned> shown;
    for (unsigned i = 0; i < 3944; ++i)
        if ((i & 0x7F) == 0x7F)
            shown.push_back(download_percentage(i, 3944));
    EXPECT_EQ(shown, expected);
}

TEST(Download, ConsoleShowsWakeUpAndProgressThenWipesThem)
{
    ScriptedBoard board({});
    board.wake();
    board.serve_all(":0", ":0", ":0");
    EXPECT_EQ(board.finish(), 0);

    std::string expected = "Waiting for the board to wake up...\r" + std::string(35, ' ') +
                           "\rDownloading boot code...(  0%)";
    for (unsigned block = 1; block <= BOOT_IMAGE_SIZE / 128; ++block) {
        char figure[16];
        snprintf(figure, sizeof figure, "\b\b\b\b\b%3u%%)", block * 128 * 100 / BOOT_IMAGE_SIZE);
        expected += figure;
    }
    expected += "\r" + std::string(30, ' ') + "\r";
    EXPECT_EQ(board.tool().out().substr(0, expected.size()), expected);
    EXPECT_EQ(board.results(),
              "Testing SDRAM... passed\nTesting FLASH... passed\nTesting SRAM... passed\n");
}

class WakeByteTest : public testing::TestWithParam<char> {};

TEST_P(WakeByteTest, AnyByteWakesTheTool)
{
    ScriptedBoard board({"flash"});
    board.wake(GetParam());
    board.serve('2', ":0");
    EXPECT_EQ(board.finish(), 0);
    EXPECT_EQ(board.results(), "Testing FLASH... passed\n");
}

INSTANTIATE_TEST_SUITE_P(Download, WakeByteTest, testing::Values('\0', '?', ':', '\xff'));

TEST(Transaction, BytesBeforeThePromptAreNotEchoed)
{
    ScriptedBoard board({"-v", "sram"});
    board.wake();
    board.serve('v', ":0", "\r\nstray bytes");
    board.serve('3', ":0", "\r\n");
    EXPECT_EQ(board.finish(), 0);
    EXPECT_EQ(board.results(), "Testing SRAM...\npassed\n");
}

// A board that says more than it was asked: a monitor that was running
// before the tool started answers the image's bytes, and every answer after
// that may be a stale one. No verdict may follow.
struct OutOfStepCase {
    const char* name;
    std::vector<std::string> args;
    std::string first_output;                              // after the download
    std::vector<std::pair<char, std::string>> answers;     // command, reply
};

class OutOfStepTest : public testing::TestWithParam<OutOfStepCase> {};

TEST_P(OutOfStepTest, StopsWithoutAVerdict)
{
    ScriptedBoard board(GetParam().args);
    board.wake('?', GetParam().first_output);
    for (const auto& answer : GetParam().answers)
        board.serve(answer.first, answer.second);
    EXPECT_EQ(board.finish(), 1);
    EXPECT_EQ(board.tool().err(), std::string(OUT_OF_STEP_MESSAGE) + "\n");
    EXPECT_EQ(board.tool().out().find("passed"), std::string::npos) << board.tool().out();
}

INSTANTIATE_TEST_SUITE_P(
    Transaction, OutOfStepTest,
    testing::Values(
        OutOfStepCase{"AnswerBeforeTheFirstPrompt", {}, ":0??", {}},
        OutOfStepCase{"AnswerAfterTheFirstPrompt", {}, "?:0?", {}},
        OutOfStepCase{"ReportBeforeTheFirstPrompt", {}, "\r\nB1\r\n:0?", {}},
        OutOfStepCase{"ExtraAnswerBeforeAPrompt", {}, "?", {{'1', ":0:0?"}}},
        OutOfStepCase{"ExtraAnswerAfterTheLastPrompt", {"sram"}, "?", {{'3', ":0?:0"}}},
        OutOfStepCase{"PromptInsideAReport", {"-v", "flash"}, "?", {{'v', ":0"}, {'2', "0\r\n?:0"}}}),
    CaseName());

struct ResultCase {
    const char* name;
    std::string reply;
    bool passed;
};

class ResultTest : public testing::TestWithParam<ResultCase> {};

TEST_P(ResultTest, OnlyAZeroFirstCharacterPasses)
{
    // The reply stands for all three tests; the next prompt skips leftovers.
    ScriptedBoard board({});
    board.wake();
    board.serve_all(GetParam().reply, GetParam().reply, GetParam().reply);
    const std::string verdict = GetParam().passed ? "passed\n" : "failed\n";
    EXPECT_EQ(board.finish(), GetParam().passed ? 0 : 1);
    EXPECT_EQ(board.results(), "Testing SDRAM... " + verdict + "Testing FLASH... " + verdict +
                                   "Testing SRAM... " + verdict);
}

INSTANTIATE_TEST_SUITE_P(
    Transaction, ResultTest,
    testing::Values(ResultCase{"Zero", ":0", true}, ResultCase{"ZeroThenJunk", ":0x", true},
                    ResultCase{"One", ":1", false}, ResultCase{"Three", ":3", false},
                    ResultCase{"MultiDigit", ":12", false}, ResultCase{"Garbage", ":z", false},
                    ResultCase{"ColonInResult", "::", false}),
    CaseName());

TEST(Transaction, OneFailedTestFailsTheRunButTheOthersStillRun)
{
    ScriptedBoard board({});
    board.wake();
    board.serve_all(":0", ":3", ":0");
    EXPECT_EQ(board.finish(), 1);
    EXPECT_EQ(board.results(),
              "Testing SDRAM... passed\nTesting FLASH... failed\nTesting SRAM... passed\n");
}

TEST(Verbose, ReportIsEchoedToConsoleAndLogWithItsLineEnds)
{
    const std::string dir = make_temp_dir();
    // The operand before the options: GNU permutation.
    ScriptedBoard board({"sram", "-v", "-l", "run.log"}, {}, dir);
    board.wake();
    board.serve('v', ":0");
    board.serve('3', "D52000000\r\n 0w1\r\n*r1\r\n:2");
    EXPECT_EQ(board.finish(), 1);
    const std::string report = "Testing SRAM...\nD52000000\r\n 0w1\r\n*r1\r\nfailed\n";
    EXPECT_EQ(board.results(), report);
    EXPECT_EQ(board.tool().out().substr(0, 22), "Logging to 'run.log'\nW");
    EXPECT_EQ(read_file(dir + "/run.log"), report);
}

std::string pass_text()
{
    return "Testing SDRAM...\nD0\r\npassed\nTesting FLASH...\nfailed\nTesting SRAM...\npassed\n";
}

TEST(Continuous, PacingIsSentOnceAndPassesRepeatUntilInterrupted)
{
    const std::string dir = make_temp_dir();
    ScriptedBoard board({"-c", "-v", "-l", "run.log"}, {}, dir);
    board.wake();
    board.serve('v', ":0");
    board.serve('s', ":0");
    for (int pass = 0; pass < 3; ++pass) {
        board.serve_all("D0\r\n:0", ":2", ":0");
    }
    // The fourth pass has begun: the tool waits for its first answer.
    ASSERT_TRUE(board.tool().wait_stdout("Testing SRAM...\npassed\nTesting SDRAM...\n", TIMEOUT_MS));
    ASSERT_TRUE(board.tool().wait_until(
        [&] { return board.results().size() == 3 * pass_text().size() + 17; }, TIMEOUT_MS));
    board.tool().signal(SIGINT);
    EXPECT_EQ(board.finish(), 128 + SIGINT);
    const std::string pass = pass_text();
    // Every verdict the console showed is in the log.
    EXPECT_EQ(board.results(), pass + pass + pass + "Testing SDRAM...\n");
    EXPECT_EQ(read_file(dir + "/run.log"), board.results());
}

TEST(LostPort, BoardGoingAwayEndsTheRunWithAMessage)
{
    const std::string dir = make_temp_dir();
    ScriptedBoard board({"-l", "run.log"}, {}, dir);
    board.wake();
    board.serve('1', ":0");
    ASSERT_TRUE(board.tool().wait_stdout("Testing SDRAM... passed\nTesting FLASH... ", TIMEOUT_MS));
    board.pty().close_master();
    EXPECT_EQ(board.finish(), 1);
    const std::string prefix = "Lost serial port " + board.pty().slave_path() + " (";
    EXPECT_EQ(board.tool().err().substr(0, prefix.size()), prefix);
    EXPECT_EQ(board.tool().err().back(), '\n');
    EXPECT_EQ(read_file(dir + "/run.log"), "Testing SDRAM... passed\nTesting FLASH... ");
    // The message goes on a line of its own, not onto the open one.
    EXPECT_EQ(board.tool().out().substr(board.tool().out().size() - 18), "Testing FLASH... \n");
}

TEST(LostPort, DuringTheDownloadTheMessageStartsOnAFreshLine)
{
    ScriptedBoard board({});
    ASSERT_TRUE(board.tool().wait_stdout("Waiting for the board to wake up...", TIMEOUT_MS));
    board.tool().send(std::string(1, '\0'));
    ASSERT_TRUE(board.tool().wait_stdout("  3%)", TIMEOUT_MS));
    board.pty().close_master();
    EXPECT_EQ(board.finish(), 1);
    EXPECT_EQ(board.tool().out().back(), '\n') << board.tool().out();
}

TEST(Log, AWriteFailureEndsTheRunNamingTheFile)
{
    ScriptedBoard board({"-l", "/dev/full", "sram"});
    board.wake();
    EXPECT_EQ(board.finish(), 1);
    EXPECT_EQ(board.tool().err(), "Could not write logfile '/dev/full' (No space left on device).\n");
    EXPECT_EQ(board.tool().out().find("passed"), std::string::npos);
}

TEST(Log, TheLastOfSeveralLogOptionsWinsAndTheOthersAreLeftAlone)
{
    const std::string dir = make_temp_dir();
    std::ofstream(dir + "/first.log") << "keep";
    ScriptedBoard board({"-l", "first.log", "-l", "second.log", "sram"}, {}, dir);
    board.wake();
    board.serve('3', ":0");
    EXPECT_EQ(board.finish(), 0);
    EXPECT_EQ(read_file(dir + "/first.log"), "keep");
    EXPECT_EQ(read_file(dir + "/second.log"), "Testing SRAM... passed\n");
}

TEST(StandardStreams, AClosedStandardOutputNeverBecomesThePort)
{
    Pty pty;
    Session tool("/bin/sh",
                 ChildOptions{{"-c", "exec \"$0\" \"$@\" >&-", DUDEDOVED_PATH, "-p", pty.slave_path(), "sram"},
                              {}, {}},
                 &pty);
    // Once the tool has the port open (the master stops reporting a hang-up)
    // and has purged it, play the loader.
    ASSERT_TRUE(tool.wait_until(
        [&] {
            pollfd p = {pty.master(), 0, 0};
            return poll(&p, 1, 0) == 0;
        },
        TIMEOUT_MS));
    usleep(300 * 1000);
    tool.send(std::string(1, '\0'));
    ASSERT_TRUE(tool.wait_port_bytes(BOOT_IMAGE_SIZE, TIMEOUT_MS));
    EXPECT_EQ(tool.port(), image_bytes()) << "console text reached the board";
    tool.send("?");
    ASSERT_TRUE(tool.wait_port_bytes(BOOT_IMAGE_SIZE + 1, TIMEOUT_MS));
    tool.send(":0?");
    EXPECT_EQ(tool.wait_exit(TIMEOUT_MS), 0) << tool.err();
}

TEST(PortLayer, TimedReadsExpireWithTheFlagAndNeverEndTheRun)
{
    Pty pty;
    ASSERT_EQ(serial_open_device(pty.slave_path().c_str()), 1);
    ASSERT_EQ(serial_configure(115200), 1);
    int error = 0;
    EXPECT_EQ(serial_get(50, &error), 0);
    EXPECT_EQ(error, 1);
    EXPECT_EQ(serial_get(50, nullptr), 0) << "an expired read without a flag is no failure";
    ASSERT_EQ(write(pty.master(), "\x9b", 1), 1);
    EXPECT_EQ(static_cast<unsigned char>(serial_get(1000, &error)), 0x9b);
    EXPECT_EQ(error, 0);
    serial_close();
}

} // namespace
