// The command line of dudedoved: usage text, option errors and port errors,
// all of which end the program before it talks to a board.
#include <gtest/gtest.h>

#include <fstream>
#include <iomanip>
#include <sstream>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "case_name.h"
#include "session.h"
#include "usage_text.h"

namespace {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

Outcome run_tool(const std::vector<std::string>& args, const std::string& dir = "")
{
    Session tool(DUDEDOVED_PATH, ChildOptions{args, {}, dir});
    const int status = tool.wait_exit(5000);
    return {status, tool.out(), tool.err()};
}

struct UsageCase {
    const char* name;
    std::vector<std::string> args;
};

class UsageTest : public testing::TestWithParam<UsageCase> {};

TEST_P(UsageTest, PrintsUsageAndFails)
{
    const Outcome o = run_tool(GetParam().args);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, DUDEDOVED_USAGE);
    EXPECT_EQ(o.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, UsageTest,
    testing::Values(UsageCase{"Help", {"-h"}},
                    UsageCase{"HelpAfterOperand", {"sram", "-h"}},
                    UsageCase{"UnknownOption", {"-x"}},
                    UsageCase{"LogWithoutFile", {"-l"}},
                    UsageCase{"PortWithoutNumber", {"-p"}},
                    UsageCase{"UpperCaseTest", {"SDRAM"}},
                    UsageCase{"UnknownTest", {"memory"}},
                    UsageCase{"UnknownTestAfterOptions", {"-v", "-p", "2", "flash2"}}),
    CaseName());

TEST(CommandLine, LogFileIsCreatedBeforeALaterOptionError)
{
    const std::string dir = make_temp_dir();
    const Outcome o = run_tool({"-l", "out.txt", "-q"}, dir);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "Logging to 'out.txt'\n");
    EXPECT_EQ(o.err, DUDEDOVED_USAGE);
    EXPECT_EQ(access((dir + "/out.txt").c_str(), F_OK), 0);
}

TEST(CommandLine, UnwritableLogFileIsNamed)
{
    const Outcome o = run_tool({"-l", "/nonexistent-dir/run.log"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "Could not open logfile '/nonexistent-dir/run.log'.\n");
}

struct PortCase {
    const char* name;
    std::vector<std::string> args;
    std::string message;
};

class PortErrorTest : public testing::TestWithParam<PortCase> {};

TEST_P(PortErrorTest, NamesThePortAndTheReason)
{
    const Outcome o = run_tool(GetParam().args);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, GetParam().message);
    EXPECT_EQ(o.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, PortErrorTest,
    testing::Values(
        PortCase{"PortZero", {"-p", "0"},
                 "Could not open serial port COM0 (ports are numbered from 1).\n"},
        PortCase{"NonNumericPortIsZero", {"-p", "x"},
                 "Could not open serial port COM0 (ports are numbered from 1).\n"},
        PortCase{"EmptyPortIsZero", {"-p", ""},
                 "Could not open serial port COM0 (ports are numbered from 1).\n"},
        PortCase{"LowestIntDoesNotOverflow", {"-p", "-2147483648"},
                 "Could not open serial port COM-2147483648 (ports are numbered from 1).\n"},
        PortCase{"BareDeviceName", {"-p", "ttyUSB97"},
                 "Could not open serial port /dev/ttyUSB97 (No such file or directory).\n"},
        PortCase{"NumberWithTrailingText", {"-p", "98x"},
                 "Could not open serial port /dev/ttyS97 (No such file or directory).\n"},
        PortCase{"MissingDevice", {"-p", "/dev/ttyUSB97"},
                 "Could not open serial port /dev/ttyUSB97 (No such file or directory).\n"},
        PortCase{"NotATerminal", {"-p", "/dev/null"},
                 "Could not open serial port /dev/null (Inappropriate ioctl for device).\n"}),
    CaseName());

TEST(CommandLine, LogIsClosedAndKeptWhenThePortFails)
{
    const std::string dir = make_temp_dir();
    const Outcome o = run_tool({"-l", "run.log", "-p", "/dev/ttyUSB97"}, dir);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "Logging to 'run.log'\n");
    EXPECT_EQ(read_file(dir + "/run.log"), "");
}

TEST(CommandLine, PortHeldByAnotherProgramIsRefused)
{
    Pty pty;
    const int holder = open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    const Outcome o = run_tool({"-p", pty.slave_path()});
    close(holder);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "Could not open serial port " + pty.slave_path() + " (in use by process " +
                         std::to_string(getpid()) + ").\n");
}

// The lock file that minicom, screen and other serial programs take.
std::string uucp_lock_of(const std::string& pts)
{
    return "/var/lock/LCK.." + pts.substr(5).replace(3, 1, "_");
}

TEST(CommandLine, UucpLockOfARunningProgramIsHonouredAndAStaleOneRemoved)
{
    Pty pty;
    const std::string lock = uucp_lock_of(pty.slave_path());
    if (access("/var/lock", W_OK) != 0)
        GTEST_SKIP() << "/var/lock is not writable here";
    // A running holder: this test process.
    std::ofstream(lock) << std::setw(10) << getpid() << "\n";
    Outcome o = run_tool({"-p", pty.slave_path()});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "Could not open serial port " + pty.slave_path() + " (in use by process " +
                         std::to_string(getpid()) + ").\n");
    // A holder that is gone: its lock is taken over, and released at the end.
    std::ofstream(lock) << std::setw(10) << 2147483647 << "\n";
    Session tool(DUDEDOVED_PATH, ChildOptions{{"-p", pty.slave_path()}, {}, {}});
    ASSERT_TRUE(tool.wait_stdout("Waiting for the board", 10000)) << tool.err();
    std::ostringstream owner;
    owner << std::setw(10) << tool.pid() << "\n";
    EXPECT_EQ(read_file(lock), owner.str());
    pty.close_master();  // the run ends on the lost port
    EXPECT_EQ(tool.wait_exit(10000), 1);
    EXPECT_NE(tool.err().find("Lost serial port"), std::string::npos) << tool.err();
    EXPECT_NE(access(lock.c_str(), F_OK), 0) << "lock left behind";
    unlink(lock.c_str());
}

} // namespace
