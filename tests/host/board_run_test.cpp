// dudedoved against a scripted board on a pseudo-terminal: the test plays the
// loader and the monitor and records every byte the tool sends.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fstream>
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

// What a UART being set up, or a line end, may put on the line before the
// first prompt: a sound board for all that.
class StrayByteTest : public testing::TestWithParam<std::string> {};

TEST_P(StrayByteTest, BeforeTheFirstPromptIsPassedOver)
{
    ScriptedBoard board({});
    board.wake('\0', GetParam() + "?");
    board.serve_all(":0", ":0", ":0");
    EXPECT_EQ(board.finish(), 0) << board.tool().err();
    EXPECT_EQ(board.results(),
              "Testing SDRAM... passed\nTesting FLASH... passed\nTesting SRAM... passed\n");
}

INSTANTIATE_TEST_SUITE_P(Transaction, StrayByteTest,
                         testing::Values(std::string(1, '\0'), "\xff", "\r\n", std::string(200, '\xff')));

// A board that answers and then says nothing more (it reset, lost power, its
// monitor died): the answer cannot be a stale one, so its verdict shows.
struct SilentCase {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::pair<char, std::string>> answers;  // the last one falls silent
    std::string results;
    int exit_status;  // -1: a continuous run, still waiting for the next prompt
};

class SilentAfterAnswerTest : public testing::TestWithParam<SilentCase> {};

TEST_P(SilentAfterAnswerTest, ShowsTheVerdict)
{
    const SilentCase& c = GetParam();
    ScriptedBoard board(c.args);
    board.wake();
    for (size_t i = 0; i + 1 < c.answers.size(); ++i)
        board.serve(c.answers[i].first, c.answers[i].second);
    board.serve_then_fall_silent(c.answers.back().first, c.answers.back().second);
    if (c.exit_status >= 0) {
        EXPECT_EQ(board.finish(), c.exit_status) << board.tool().err();
        EXPECT_EQ(board.results(), c.results);
        return;
    }
    ASSERT_TRUE(board.tool().wait_until([&] { return board.results() == c.results; }, TIMEOUT_MS))
        << board.results();
    EXPECT_FALSE(board.tool().exited());
    board.tool().signal(SIGINT);
    EXPECT_EQ(board.finish(), 128 + SIGINT);
}

INSTANTIATE_TEST_SUITE_P(
    Transaction, SilentAfterAnswerTest,
    testing::Values(
        SilentCase{"DefaultRunPassed", {}, {{'1', ":0"}, {'2', ":0"}, {'3', ":0"}},
                   "Testing SDRAM... passed\nTesting FLASH... passed\nTesting SRAM... passed\n", 0},
        SilentCase{"DefaultRunFailed", {}, {{'1', ":0"}, {'2', ":0"}, {'3', ":1"}},
                   "Testing SDRAM... passed\nTesting FLASH... passed\nTesting SRAM... failed\n", 1},
        SilentCase{"SingleTestPassed", {"flash"}, {{'2', ":0"}}, "Testing FLASH... passed\n", 0},
        SilentCase{"SingleTestFailed", {"flash"}, {{'2', ":2"}}, "Testing FLASH... failed\n", 1},
        SilentCase{"VerboseSingleTest", {"-v", "sram"}, {{'v', ":0"}, {'3', "D0\r\n:0"}},
                   "Testing SRAM...\nD0\r\npassed\n", 0},
        SilentCase{"ContinuousPassed", {"-c"}, {{'s', ":0"}, {'1', ":0"}},
                   "Testing SDRAM... passed\nTesting FLASH... ", -1},
        SilentCase{"ContinuousFailed", {"-c", "sram"}, {{'s', ":0"}, {'3', ":1"}},
                   "Testing SRAM... failed\nTesting SRAM... ", -1},
        SilentCase{"MidRun", {}, {{'1', ":1"}}, "Testing SDRAM... failed\nTesting FLASH... ", -1}),
    CaseName());

TEST(Transaction, APromptThatComesLateStillStartsTheNextCommand)
{
    ScriptedBoard board({});
    board.wake();
    board.serve_then_fall_silent('1', ":0");
    ASSERT_TRUE(board.tool().wait_stdout("Testing SDRAM... passed\nTesting FLASH... ", TIMEOUT_MS));
    board.tool().send("\r\n?");
    board.serve('2', ":0");
    board.serve('3', ":0");
    EXPECT_EQ(board.finish(), 0) << board.tool().err();
    EXPECT_EQ(board.results(),
              "Testing SDRAM... passed\nTesting FLASH... passed\nTesting SRAM... passed\n");
}

TEST(Transaction, ALatePromptWithAnAnswerBehindItIsOutOfStep)
{
    ScriptedBoard board({});
    board.wake();
    board.serve_then_fall_silent('1', ":0");
    ASSERT_TRUE(board.tool().wait_stdout("Testing SDRAM... passed\nTesting FLASH... ", TIMEOUT_MS));
    board.tool().send("?:0?");
    EXPECT_EQ(board.finish(), 1);
    EXPECT_EQ(board.tool().err(), std::string(OUT_OF_STEP_MESSAGE) + "\n");
    // The open line is ended before the message.
    EXPECT_EQ(board.results(), "Testing SDRAM... passed\nTesting FLASH... \n");
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
        OutOfStepCase{"StrayByteThenAnswerBeforeTheFirstPrompt", {}, "\xff\r\n:0?", {}},
        OutOfStepCase{"TwoPromptsAtTheStart", {}, "??", {}},
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
    // With no console to say when the tool waits, the loader says its byte
    // again until the image comes: one sent before the tool purged its port
    // is lost, and the ones that follow the first are passed over.
    ASSERT_TRUE(tool.wait_until(
        [&] {
            if (tool.port().empty())
                tool.send(std::string(1, '\0'));
            return tool.wait_port_bytes(1, 100);
        },
        TIMEOUT_MS));
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
