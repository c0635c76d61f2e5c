// korvasim's command line: its help, bad arguments, the debugger's port,
// the link and the trace file.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "tests/support/case_name.h"
#include "tests/support/simulator_process.h"
#include "tests/sim/program_runner.h"
#include "tests/support/report_sizes.h"
#include "tests/support/session.h"
namespace {

const int TIMEOUT_MS = 5000;

TEST(CommandLine, HelpListsEveryFaultForm)
{
    Session sim(KORVASIM_PATH, ChildOptions{{"--help"}, {}, {}});
    EXPECT_EQ(sim.wait_exit(TIMEOUT_MS), 0);
    for (const char* form : {"sram.dN=0|1", "sram.dN-dM", "sram.aN=0|1", "sram.aN-aM", "sram.absent",
                             "sram.cell:OFFSET.BIT=0|1", "sram.couple:A.B=V>C.D=W", "flash.qK.F=VALUE",
                             "flash.busy", "--power PATH"})
        EXPECT_NE(sim.out().find(form), std::string::npos) << form;
}

TEST(CommandLine, ADebuggerPortBeyondThisMachineIsWarnedAbout)
{
    for (const char* address : {"0.0.0.0:0", "127.0.0.1:0"}) {
        Simulator sim({"--gdb", address});
        ASSERT_TRUE(sim.process().wait_until(
            [&] { return sim.process().err().find("debugger port") != std::string::npos; }, TIMEOUT_MS));
        const bool warned = sim.process().err().find(
                                "is open beyond this machine: anyone who reaches it can read, write and "
                                "run the board") != std::string::npos;
        EXPECT_EQ(warned, std::string(address) == "0.0.0.0:0") << sim.process().err();
    }
}

TEST(CommandLine, LinkIsMadeAndRemovedOnTerminate)
{
    const std::string link = make_temp_dir() + "/korva";
    Simulator sim({"--link", link});
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), sim.path());
    sim.process().signal(SIGTERM);
    EXPECT_EQ(sim.process().wait_exit(TIMEOUT_MS), 0);
    EXPECT_NE(access(link.c_str(), F_OK), 0);
}

TEST(CommandLine, TraceFileHasALinePerRegisterAccess)
{
    const std::string trace = make_temp_dir() + "/trace.txt";
    Simulator sim({"--once", "--trace", trace, "--image", std::string(PROGRAM_DIR) + "/echo.bin"});
    {
        HostPort host(sim.path());
        EXPECT_EQ(host.read_bytes(2, TIMEOUT_MS), "HI");
        // An echoed byte: the program has polled the line status by now.
        host.send({'x'});
        EXPECT_EQ(host.read_bytes(1, TIMEOUT_MS), "x");
    }
    EXPECT_EQ(sim.process().wait_exit(TIMEOUT_MS), 0);
    const std::string lines = read_file(trace);
    // The UART set up (divisor latch first), then 'H' and 'I' into the transmitter.
    const std::string first = lines.substr(0, lines.find('\n'));
    EXPECT_EQ(first.substr(first.find(' ')), " W 0x50001003 1 0x00000080") << lines.substr(0, 200);
    EXPECT_LT(lines.find(" W 0x50001000 1 0x00000048\n"), lines.find(" W 0x50001000 1 0x00000049\n"));
    EXPECT_NE(lines.find(" W 0x50001000 1 0x00000049\n"), std::string::npos);
    // A line status read; its value depends on how the polls fall against
    // the line's timing, so only its form is checked here.
    EXPECT_NE(lines.find(" R 0x50001005 1 0x000000"), std::string::npos) << lines.substr(0, 2000);
}

struct BadArgumentCase {
    const char* name;
    std::vector<std::string> args;
    const char* message;
};

class BadArgumentTest : public testing::TestWithParam<BadArgumentCase> {};

TEST_P(BadArgumentTest, IsRefusedAtStart)
{
    Session sim(KORVASIM_PATH, ChildOptions{GetParam().args, {}, {}});
    EXPECT_EQ(sim.wait_exit(TIMEOUT_MS), 1);
    EXPECT_NE(sim.err().find(GetParam().message), std::string::npos) << sim.err();
    EXPECT_EQ(sim.out(), "");
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, BadArgumentTest,
    testing::Values(
        BadArgumentCase{"MalformedFault", {"--fault", "sram.d9=0"}, "bad fault 'sram.d9=0'"},
        BadArgumentCase{"WakeByteTooLarge", {"--wake-byte", "256"}, "bad wake-up byte '256'"},
        BadArgumentCase{"SeedBeyond64Bits", {"--fault", "sram.d3=0,p=0.5,seed=18446744073709551616"},
                        "bad fault 'sram.d3=0,p=0.5,seed=18446744073709551616'"},
        BadArgumentCase{"MissingImage", {"--image", "/nonexistent.bin"}, "cannot read image /nonexistent.bin"},
        BadArgumentCase{"ImageIsADirectory", {"--image", "/"}, "cannot read image /: Is a directory"},
        BadArgumentCase{"ImageWithoutEnd", {"--image", "/dev/zero"}, "image /dev/zero has more than 4096 bytes"},
        BadArgumentCase{"ImageAndMonitor", {"--monitor", "--image", "/etc/hostname"},
                        "--image and --monitor both name the image; give one"},
        BadArgumentCase{"MonitorWithCoverage", {"--coverage", "--monitor"}, "--monitor has no effect with --coverage"},
        BadArgumentCase{"LogIsADirectory", {"--diagnose", "/"}, "cannot read log /: Is a directory"},
        BadArgumentCase{"LogWithoutEnd", {"--diagnose", "/dev/zero"}, "/dev/zero is larger than 16 MiB"},
        BadArgumentCase{"DataLineStuckBothWays", {"--fault", "sram.d3=0", "--fault", "sram.d3=1"},
                        "fault 'sram.d3=1' contradicts an earlier --fault"},
        BadArgumentCase{"AddressLineStuckBothWays", {"--fault", "sdram.a7=1", "--fault", "sdram.a7=0"},
                        "fault 'sdram.a7=0' contradicts"},
        BadArgumentCase{"FlashFieldTwoValues", {"--fault", "flash.q1.V=3", "--fault", "flash.q1.V=4"},
                        "fault 'flash.q1.V=4' contradicts"},
        BadArgumentCase{"FaultWithCoverage", {"--coverage", "--fault", "sram.d3=0"},
                        "--fault has no effect with --coverage"},
        BadArgumentCase{"TraceWithDiagnosis", {"--trace", "t.txt", "--diagnose", "run.log"},
                        "--trace has no effect with --diagnose"},
        BadArgumentCase{"TwoModes", {"--coverage", "--diagnose", "run.log"},
                        "--coverage and --diagnose are two modes"},
        BadArgumentCase{"FormatWithoutCoverage", {"--format", "csv"}, "--format goes with --coverage"},
        BadArgumentCase{"EmptyLink", {"--link", ""}, "--link needs a path"},
        BadArgumentCase{"PowerSwitchOnAFile", {"--power", "/etc/hostname"},
                        "korvasim: cannot use --power /etc/hostname: it exists and is not a named pipe"},
        BadArgumentCase{"PowerSwitchInAMissingFolder", {"--power", "/nonexistent/power"},
                        "korvasim: cannot use --power /nonexistent/power: No such file or directory"},
        BadArgumentCase{"PowerSwitchWithCoverage", {"--coverage", "--power", "p"},
                        "--power has no effect with --coverage"},
        BadArgumentCase{"DebuggerPortNotANumber", {"--gdb", "gdb"}, "bad --gdb address: 'gdb' is not a TCP port"},
        BadArgumentCase{"DebuggerPortTooLarge", {"--gdb", "65536"}, "'65536' is not a TCP port number"},
        BadArgumentCase{"DebuggerHostEmpty", {"--gdb", ":1234"}, "no host before ':' in ':1234'"},
        BadArgumentCase{"DebuggerHostNotOurs", {"--gdb", "192.0.2.1:1234"},
                        "cannot listen for a debugger on 192.0.2.1:1234: Cannot assign requested address"},
        BadArgumentCase{"WaitWithoutDebugger", {"--gdb-wait"}, "--gdb-wait goes with --gdb"},
        BadArgumentCase{"CoverageOfWhat", {"--coverage=most"}, "bad --coverage 'most'"},
        BadArgumentCase{"CoverageAsPdf", {"--coverage", "--format", "pdf"},
                        "bad format 'pdf': expected table, csv, json or html"},
        BadArgumentCase{"DebuggerWithCoverage", {"--coverage", "--gdb", "0"}, "--gdb has no effect with --coverage"},
        BadArgumentCase{"UnknownOption", {"--fualt", "x"}, "korvasim: unknown option '--fualt'\nUsage: korvasim"},
        BadArgumentCase{"OptionWithoutValue", {"--fault"}, "korvasim: option '--fault' needs a value\nUsage:"},
        BadArgumentCase{"Operand", {"extra"}, "korvasim: unexpected argument 'extra'\nUsage: korvasim"}),
    CaseName());

TEST(CommandLine, LinkReplacesOnlyWhatIsSafeToReplace)
{
    const std::string dir = make_temp_dir();
    // A file, and a link to a file, are the user's: never touched.
    std::ofstream(dir + "/important.txt") << "keep";
    ASSERT_EQ(symlink("important.txt", (dir + "/mylink").c_str()), 0);
    for (const char* name : {"/important.txt", "/mylink"}) {
        Session sim(KORVASIM_PATH, ChildOptions{{"--link", dir + name}, {}, {}});
        EXPECT_EQ(sim.wait_exit(TIMEOUT_MS), 1) << name;
        EXPECT_NE(sim.err().find("cannot use --link " + dir + name), std::string::npos) << sim.err();
    }
    EXPECT_EQ(read_file(dir + "/mylink"), "keep");

    // A running simulator's link is refused; a dangling one is replaced.
    ASSERT_EQ(symlink("/dev/pts/no-such-pty", (dir + "/board").c_str()), 0);
    Simulator first({"--link", dir + "/board"});
    {
        Session second(KORVASIM_PATH, ChildOptions{{"--link", dir + "/board"}, {}, {}});
        EXPECT_EQ(second.wait_exit(TIMEOUT_MS), 1);
        EXPECT_NE(second.err().find("which is still running"), std::string::npos) << second.err();
    }
    char target[256] = {};
    ASSERT_GT(readlink((dir + "/board").c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), first.path());

    // A pty number is reused at once: a link to a pty that another simulator
    // now has, but did not link, is stale.
    Simulator other({});
    ASSERT_EQ(symlink(other.path().c_str(), (dir + "/reused").c_str()), 0);
    Simulator taker({"--link", dir + "/reused"});
    memset(target, 0, sizeof target);
    ASSERT_GT(readlink((dir + "/reused").c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), taker.path());

    // A link that no longer leads to this simulator is left where it is.
    ASSERT_EQ(unlink((dir + "/board").c_str()), 0);
    ASSERT_EQ(symlink("important.txt", (dir + "/board").c_str()), 0);
    first.process().signal(SIGTERM);
    EXPECT_EQ(first.process().wait_exit(TIMEOUT_MS), 0);
    EXPECT_EQ(read_file(dir + "/board"), "keep");
}

TEST(CommandLine, CoverageOfAnImageThatFailsOnAGoodBoardIsRefused)
{
    Session sim(KORVASIM_PATH,
                ChildOptions{{"--coverage", "--image", std::string(PROGRAM_DIR) + "/echo.bin"}, {}, {}});
    EXPECT_EQ(sim.wait_exit(30000), 1);
    EXPECT_NE(sim.err().find("does not pass the SDRAM test on a board without faults"),
              std::string::npos) << sim.err();
    EXPECT_EQ(sim.out(), "");
}

} // namespace
