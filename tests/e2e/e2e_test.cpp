// dudedoved against the simulated board, both as processes on a real
// pseudo-terminal, checked through what a user sees: console, log, status.
//
// With KORVA_E2E_PORT set (for example /dev/ttyUSB0) the same cases run
// against a real board on that port; the fault cases are then skipped.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "tests/support/session.h"
#include "tests/support/report_sizes.h"
#include "tests/support/case_name.h"

namespace {

const int RUN_TIMEOUT_MS = 60000;
const std::string ALL_PASSED =
    "Testing SDRAM... passed\nTesting FLASH... passed\nTesting SRAM... passed\n";

const char* bench_port()
{
    return getenv("KORVA_E2E_PORT");
}

// The board: korvasim on a fresh pty, or the real one on the bench port.
class Board {
public:
    explicit Board(const std::vector<std::string>& faults = {}, bool unprivileged = false)
    {
        if (bench_port()) {
            port_ = bench_port();
            return;
        }
        std::vector<std::string> args;
        for (const auto& f : faults)
            args.insert(args.end(), {"--fault", f});
        sim_ = std::make_unique<Session>(KORVASIM_PATH, ChildOptions{args, {}, {}, unprivileged});
        EXPECT_TRUE(sim_->wait_stdout("\n", 5000)) << sim_->err();
        port_ = sim_->out().substr(0, sim_->out().find('\n'));
    }

    const std::string& port() const { return port_; }
    Session* simulator() { return sim_.get(); }

private:
    std::unique_ptr<Session> sim_;
    std::string port_;
};

class ToolRun {
public:
    ToolRun(Board& board, std::vector<std::string> args, bool unprivileged = false)
        : dir_(make_temp_dir()),
          tool_(DUDEDOVED_PATH, options(board, std::move(args), unprivileged))
    {
    }

    int finish() { return tool_.wait_exit(RUN_TIMEOUT_MS); }
    Session& tool() { return tool_; }
    std::string log_path() const { return dir_ + "/run.log"; }
    std::string log() const { return read_file(log_path()); }
    std::string results() const { return console_results(tool_.out()); }

private:
    ChildOptions options(Board& board, std::vector<std::string> args, bool unprivileged)
    {
        args.insert(args.begin(), {"-p", board.port()});
        if (unprivileged)
            chmod(dir_.c_str(), 0777);
        return ChildOptions{std::move(args), {}, dir_, unprivileged};
    }

    std::string dir_;
    Session tool_;
};

// Bytes of the board's report between an announcement and its verdict.
size_t report_bytes(const std::string& console, const std::string& announcement)
{
    const size_t start = console.find(announcement + "...\n");
    const size_t end = console.find("passed\n", start);
    if (start == std::string::npos || end == std::string::npos)
        return 0;
    return end - start - announcement.size() - 4;
}

TEST(EndToEnd, DefaultQuietRunPassesAllThree)
{
    Board board;
    ToolRun run(board, {});
    EXPECT_EQ(run.finish(), 0) << run.tool().err();
    EXPECT_EQ(run.results(), ALL_PASSED);
    EXPECT_EQ(run.tool().err(), "");
}

TEST(EndToEnd, ConsecutiveRunsPassForAnOrdinaryUser)
{
    if (bench_port())
        GTEST_SKIP() << "the bench board's port belongs to whoever runs the tests";
    // Root is let through an exclusive port; an ordinary user is not.
    if (geteuid() == 0) {
        // A build tree under a private home is out of an ordinary user's reach.
        Session probe("/bin/sh",
                      ChildOptions{{"-c", "test -x \"$0\" && test -x \"$1\" && test -r \"$2\"",
                                    KORVASIM_PATH, DUDEDOVED_PATH, LSAN_SUPPRESSIONS},
                                   {}, {}, true});
        if (probe.wait_exit(RUN_TIMEOUT_MS) != 0)
            GTEST_SKIP() << "user nobody cannot reach the build tree here";
    }
    Board board({}, true);
    for (int run = 0; run < 3; ++run) {
        ToolRun tool(board, {}, true);
        EXPECT_EQ(tool.finish(), 0) << "run " << run << ": " << tool.tool().err();
        EXPECT_EQ(tool.results(), ALL_PASSED) << "run " << run;
    }
}

TEST(EndToEnd, AToolStoppedInTheMiddleOfItsDownloadStillPasses)
{
    // A loaded machine stops the tool now and then for longer than the
    // loader's 250 ms pause before it starts what it has: the image must
    // reach the line whole all the same.
    if (bench_port())
        GTEST_SKIP() << "the bench board's tool is not stopped from here";
    Board board;
    ToolRun run(board, {});
    // Its first figure: a block of the image is on the line.
    ASSERT_TRUE(run.tool().wait_stdout("  3%)", RUN_TIMEOUT_MS));
    run.tool().signal(SIGSTOP);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    run.tool().signal(SIGCONT);
    EXPECT_EQ(run.finish(), 0) << run.tool().err();
    EXPECT_EQ(run.results(), ALL_PASSED);
}

TEST(EndToEnd, VerboseSingleTestReachesConsoleAndLog)
{
    Board board;
    ToolRun run(board, {"-v", "-l", "run.log", "sram"});
    EXPECT_EQ(run.finish(), 0);
    const std::string results = run.results();
    EXPECT_EQ(results.substr(0, 27), "Testing SRAM...\nD52000000\r\n");
    EXPECT_EQ(results.substr(results.size() - 18), " 1ffffr12\r\npassed\n");
    EXPECT_EQ(report_bytes(results, "Testing SRAM"), unsigned(REPORT_SRAM_DATA_BYTES + REPORT_SRAM_ADDRESS_BYTES));
    EXPECT_EQ(run.log(), results);
    EXPECT_EQ(run.tool().out().substr(0, 22), "Logging to 'run.log'\nW");
}

TEST(EndToEnd, VerboseRunCarriesEveryReportByte)
{
    Board board;
    ToolRun run(board, {"-v"});
    EXPECT_EQ(run.finish(), 0);
    const std::string results = run.results();
    EXPECT_EQ(report_bytes(results, "Testing SDRAM"), unsigned(REPORT_SDRAM_DATA_BYTES + REPORT_SDRAM_ADDRESS_BYTES));
    EXPECT_EQ(report_bytes(results, "Testing FLASH"), unsigned(REPORT_FLASH_BYTES));
    EXPECT_EQ(report_bytes(results, "Testing SRAM"), unsigned(REPORT_SRAM_DATA_BYTES + REPORT_SRAM_ADDRESS_BYTES));
}

TEST(EndToEnd, ContinuousRunStoppedWithCtrlCKeepsEveryVerdictInTheLog)
{
    Board board;
    ToolRun run(board, {"-c", "-l", "run.log"});
    ASSERT_TRUE(run.tool().wait_until([&] { return count_of(run.results(), ALL_PASSED) >= 3; },
                                      RUN_TIMEOUT_MS));
    run.tool().signal(SIGINT);
    EXPECT_EQ(run.finish(), 128 + SIGINT);
    // The log may have gone one write further than the console, never less.
    const std::string log = run.log();
    EXPECT_EQ(log.substr(0, run.results().size()), run.results());
    EXPECT_LE(log.size() - run.results().size(), std::string("Testing SDRAM... ").size());
    EXPECT_GE(count_of(log, "passed\n"), 9u);
}

struct FaultCase {
    const char* fault;
    std::string verdicts;  // SDRAM, FLASH, SRAM: P or F
};

class FaultTest : public testing::TestWithParam<FaultCase> {};

TEST_P(FaultTest, ExactlyTheRightTestFailsAndTheRunFails)
{
    if (bench_port())
        GTEST_SKIP() << "faults are injected only into the simulated board";
    Board board({GetParam().fault});
    ToolRun run(board, {});
    EXPECT_EQ(run.finish(), 1);
    const char* names[] = {"SDRAM", "FLASH", "SRAM"};
    std::string expected;
    for (int i = 0; i < 3; ++i)
        expected += std::string("Testing ") + names[i] + "... " +
                    (GetParam().verdicts[i] == 'P' ? "passed\n" : "failed\n");
    EXPECT_EQ(run.results(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, FaultTest,
    testing::Values(FaultCase{"sram.d3=0", "PPF"}, FaultCase{"sram.d0-d1", "PPF"},
                    FaultCase{"sram.a8=0", "PPF"}, FaultCase{"sram.a4-a5", "PPF"},
                    FaultCase{"sram.absent", "PPF"}, FaultCase{"sdram.d31=1", "FPP"},
                    FaultCase{"sdram.d7-d8", "FPP"}, FaultCase{"sdram.a10=1", "FPP"},
                    FaultCase{"sdram.a2-a3", "FPP"}, FaultCase{"sdram.absent", "FPP"},
                    FaultCase{"flash.q2.B=0", "PFP"}));

TEST(EndToEnd, FailedBoardIsDiagnosedFromItsLog)
{
    if (bench_port())
        GTEST_SKIP() << "faults are injected only into the simulated board";
    Board board({"sram.d3=0"});
    ToolRun run(board, {"-v", "-l", "run.log", "sram"});
    ASSERT_EQ(run.finish(), 1);
    Session diagnosis(KORVASIM_PATH, ChildOptions{{"--diagnose", run.log_path()}, {}, {}});
    EXPECT_EQ(diagnosis.wait_exit(RUN_TIMEOUT_MS), 0) << diagnosis.err();
    EXPECT_EQ(diagnosis.out(),
              run.log_path() + " matches:\n  SRAM data line 3 stuck at 0 (--fault sram.d3=0)\n");
}

// CPU seconds the process has used so far.
double cpu_seconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 1; stat >> field && i <= 15; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return double(utime + stime) / sysconf(_SC_CLK_TCK);
}

TEST(EndToEnd, BoardThatNeverAnswersLeavesTheToolWaitingQuietly)
{
    if (bench_port())
        GTEST_SKIP() << "faults are injected only into the simulated board";
    Board board({"flash.busy"});
    ToolRun run(board, {"flash"});
    ASSERT_TRUE(run.tool().wait_stdout("Testing FLASH... ", RUN_TIMEOUT_MS));
    // Nothing to wait for but time: a spinning tool takes a good share of
    // a core in any fraction of a second, a waiting one none.
    const double before = cpu_seconds(run.tool().pid());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(run.tool().exited());
    EXPECT_LT(cpu_seconds(run.tool().pid()) - before, 0.05);
}

TEST(EndToEnd, SimulatorKilledMidRunEndsTheToolWithTheLostPortMessage)
{
    if (bench_port())
        GTEST_SKIP() << "the bench board cannot be unplugged from here";
    Board board;
    ToolRun run(board, {"-c"});
    ASSERT_TRUE(run.tool().wait_stdout("passed\n", RUN_TIMEOUT_MS));
    board.simulator()->signal(SIGKILL);
    EXPECT_EQ(run.finish(), 1);
    const std::string prefix = "Lost serial port " + board.port() + " (";
    EXPECT_EQ(run.tool().err().substr(0, prefix.size()), prefix) << run.tool().err();
}

} // namespace
