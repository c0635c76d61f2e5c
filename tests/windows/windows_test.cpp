// dudedoved.exe under Wine against korvasim: COM1 and COM12 of the test
// prefix lead to the simulator's pseudo-terminal.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "tests/support/session.h"
#include "tests/support/usage_text.h"

namespace {

const int TIMEOUT_MS = 60000;

// Windows writes standard output and error in text mode.
std::string text_mode(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

const std::string ALL_PASSED =
    text_mode("Testing SDRAM... passed\nTesting FLASH... passed\nTesting SRAM... passed\n");

// korvasim behind COMn of the prefix.
class SimulatedBoard {
public:
    SimulatedBoard(int com, std::vector<std::string> faults = {}, std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {"--link", std::string(WINE_LINKS) + "/com" + std::to_string(com)};
        args.insert(args.end(), extra.begin(), extra.end());
        for (const auto& f : faults)
            args.insert(args.end(), {"--fault", f});
        sim_ = std::make_unique<Session>(KORVASIM_PATH, ChildOptions{args, {}, {}});
        EXPECT_TRUE(sim_->wait_stdout("\n", 5000)) << sim_->err();
    }

private:
    std::unique_ptr<Session> sim_;
};

struct Outcome {
    int status;
    std::string out;
    std::string err;
    std::string results() const { return console_results(out); }
};

Outcome run_exe(std::vector<std::string> args)
{
    args.insert(args.begin(), DUDEDOVED_EXE);
    Session tool(WINE, ChildOptions{args, {{"WINEPREFIX", WINE_PREFIX}, {"WINEDEBUG", "-all"}}, {}});
    const int status = tool.wait_exit(TIMEOUT_MS);
    return {status, tool.out(), tool.err()};
}

TEST(Windows, QuietDefaultRunOnCom1)
{
    SimulatedBoard board(1);
    const Outcome o = run_exe({});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.results(), ALL_PASSED);
    EXPECT_EQ(o.out.substr(0, 35), "Waiting for the board to wake up...");
}

TEST(Windows, VerboseSingleTestEchoesTheReport)
{
    SimulatedBoard board(1);
    const Outcome o = run_exe({"-v", "flash"});
    EXPECT_EQ(o.status, 0) << o.err;
    const std::string query = "V1\r\nS18\r\nB1\r\n";
    EXPECT_EQ(o.results(), text_mode("Testing FLASH...\n0\r\n" + query + "1\r\n" + query + "2\r\n" +
                                     query + "3\r\n" + query + "passed\n"));
}

TEST(Windows, FaultFailsTheRightTestAndTheRun)
{
    SimulatedBoard board(1, {"sdram.d31=1"});
    const Outcome o = run_exe({});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.results(),
              text_mode("Testing SDRAM... failed\nTesting FLASH... passed\nTesting SRAM... passed\n"));
}

TEST(Windows, OperandFirstAndAPortAboveNine)
{
    // COM10 and above open only with the \\.\ prefix.
    SimulatedBoard board(12);
    const Outcome o = run_exe({"sram", "-v", "-p", "12"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.results().substr(0, 29), text_mode("Testing SRAM...\nD52000000\r\n"));
}

TEST(Windows, PortNamedAsUsersTypeIt)
{
    SimulatedBoard board(12);
    const Outcome o = run_exe({"-p", "COM12", "sram"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.results(), text_mode("Testing SRAM... passed\n"));
}

TEST(Windows, TimedReadsExpireWithTheFlagAndNeverEndTheRun)
{
    // The loader's wake-up byte comes 200 ms after the open: the 50 ms reads
    // expire before it, the 3 s read gets it.
    SimulatedBoard board(1, {}, {"--wake-byte", "0x5a"});
    Session probe(WINE, ChildOptions{{TIMED_READ_EXE, "COM1"},
                                     {{"WINEPREFIX", WINE_PREFIX}, {"WINEDEBUG", "-all"}}, {}});
    EXPECT_EQ(probe.wait_exit(TIMEOUT_MS), 0) << probe.err();
    EXPECT_EQ(probe.out(), text_mode("short: byte 0 flag 1\nshort, no flag: byte 0\n"
                                     "long: byte 90 flag 0\n"));
}

TEST(Windows, MissingPortIsNamedWithTheSystemReason)
{
    const Outcome o = run_exe({"-p", "5"});
    EXPECT_EQ(o.status, 1);
    const std::string prefix = "Could not open serial port COM5 (";
    EXPECT_EQ(o.err.substr(0, prefix.size()), prefix) << o.err;
    EXPECT_EQ(o.err.substr(o.err.size() - 4), ").\r\n") << o.err;
    EXPECT_EQ(o.out, "");
}

TEST(Windows, NetworkPortsAreSaidToBeUnsupported)
{
    const Outcome o = run_exe({"-p", "rfc2217://bench3:3001"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, text_mode("Could not open serial port rfc2217://bench3:3001 (network ports are not supported "
                               "in the Windows build).\n"));
    EXPECT_EQ(o.out, "");
}

TEST(Windows, UsageTextByteForByte)
{
    const Outcome o = run_exe({"-h"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, text_mode(DUDEDOVED_USAGE));
}

} // namespace
