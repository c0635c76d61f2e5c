// The command line of dudedoved: usage text, option errors and port errors,
// all of which end the program before it talks to a board.
#include <gtest/gtest.h>

#include <fstream>
#include <iomanip>
#include <sstream>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "tests/host/scripted_board.h"
#include "tests/support/case_name.h"
#include "tests/support/session.h"
#include "tests/support/usage_text.h"

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
                 "Could not open serial port /dev/null (Inappropriate ioctl for device).\n"},
        PortCase{"PseudoTerminalMultiplexer", {"-p", "/dev/ptmx"},
                 "Could not open serial port /dev/ptmx (it makes a new pseudo-terminal, not a board's port).\n"}),
    CaseName());

TEST(CommandLine, LogIsClosedAndKeptWhenThePortFails)
{
    const std::string dir = make_temp_dir();
    const Outcome o = run_tool({"-l", "run.log", "-p", "/dev/ttyUSB97"}, dir);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "Logging to 'run.log'\n");
    EXPECT_EQ(read_file(dir + "/run.log"), "");
}

// The tool's words for a port that process pid holds.
std::string held_by(const std::string& port, pid_t pid)
{
    std::string name = read_file("/proc/" + std::to_string(pid) + "/comm");
    name.pop_back();
    return "Could not open serial port " + port + " (in use by process " + std::to_string(pid) + ", " +
           name + ").\n";
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
    EXPECT_EQ(o.err, held_by(pty.slave_path(), getpid()));
}

TEST(CommandLine, PortOpenInAProgramThatTakesNoLockIsRefused)
{
    // As minicom or screen: the device open, no flock, no lock file.
    Pty pty;
    Session holder("/bin/sh", ChildOptions{{"-c", "exec sleep 60 <>\"$0\"", pty.slave_path()}, {}, {}});
    ASSERT_TRUE(holder.wait_until(
        [&] {
            pollfd p = {pty.master(), 0, 0};
            return poll(&p, 1, 0) == 0;
        },
        5000));
    const Outcome o = run_tool({"-p", pty.slave_path()});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, held_by(pty.slave_path(), holder.pid()));
}

// dudedoved run from a terminal: pty is its controlling terminal and its
// standard input and output; what it says on standard error is returned.
Outcome run_on_terminal(Pty& pty, const std::vector<std::string>& args)
{
    const std::string err_path = make_temp_dir() + "/err";
    const pid_t pid = fork();
    if (pid == 0) {
        setsid();
        const int terminal = open(pty.slave_path().c_str(), O_RDWR);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(terminal, 0);
        dup2(terminal, 1);
        dup2(err, 2);
        std::vector<char*> argv = {const_cast<char*>(DUDEDOVED_PATH)};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(DUDEDOVED_PATH, argv.data());
        _exit(127);
    }
    int status = -1;
    for (int waited = 0; waited < 5000 && waitpid(pid, &status, WNOHANG) == 0; waited += 10)
        usleep(10 * 1000);
    if (kill(pid, SIGKILL) == 0)
        waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, "", read_file(err_path)};
}

TEST(CommandLine, TheUsersOwnTerminalIsNoBoardsPort)
{
    Pty pty;
    termios before;
    ASSERT_EQ(tcgetattr(pty.master(), &before), 0);
    for (const std::string& port : {std::string("/dev/tty"), std::string("tty"), pty.slave_path(),
                                    std::string("/proc/self/fd/0")}) {
        const Outcome o = run_on_terminal(pty, {"-p", port});
        EXPECT_EQ(o.status, 1) << port;
        EXPECT_EQ(o.err, "Could not open serial port " + std::string(port == "tty" ? "/dev/tty" : port) +
                             " (it is this program's own terminal, not a board's port).\n");
    }
    termios after;
    ASSERT_EQ(tcgetattr(pty.master(), &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag) << "the terminal's settings were changed";
    EXPECT_EQ(after.c_iflag, before.c_iflag) << "the terminal's settings were changed";
}

// The lock file that minicom, screen and other serial programs take.
std::string uucp_lock_of(const std::string& pts)
{
    return "/var/lock/LCK.." + pts.substr(5).replace(3, 1, "_");
}

TEST(CommandLine, UucpLockOfARunningProgramIsHonouredAndAStaleOneRemoved)
{
    if (access("/var/lock", W_OK) != 0)
        GTEST_SKIP() << "/var/lock is not writable here";
    {
        // A running holder: this test process, with the port open.
        Pty pty;
        const std::string lock = uucp_lock_of(pty.slave_path());
        const int holder = open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY);
        std::ofstream(lock) << std::setw(10) << getpid() << "\n";
        const Outcome o = run_tool({"-p", pty.slave_path()});
        close(holder);
        unlink(lock.c_str());
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.err, held_by(pty.slave_path(), getpid()));
    }
    // A lock left by a run stopped with CTRL-C whose PID now belongs to a
    // process without the port (init), and one whose holder is gone: each
    // is taken over, and released at the end.
    for (const long stale : {1L, 2147483647L}) {
        Pty pty;
        const std::string lock = uucp_lock_of(pty.slave_path());
        std::ofstream(lock) << std::setw(10) << stale << "\n";
        Session tool(DUDEDOVED_PATH, ChildOptions{{"-p", pty.slave_path()}, {}, {}});
        ASSERT_TRUE(tool.wait_stdout("Waiting for the board", 10000)) << stale << ": " << tool.err();
        std::ostringstream owner;
        owner << std::setw(10) << tool.pid() << "\n";
        EXPECT_EQ(read_file(lock), owner.str());
        pty.close_master();  // the run ends on the lost port
        EXPECT_EQ(tool.wait_exit(10000), 1);
        EXPECT_NE(tool.err().find("Lost serial port"), std::string::npos) << tool.err();
        EXPECT_NE(access(lock.c_str(), F_OK), 0) << "lock left behind";
        unlink(lock.c_str());
    }
}

TEST(CommandLine, AFileInTheCurrentFolderIsThePort)
{
    const std::string dir = make_temp_dir();
    ScriptedBoard board({"flash"}, {}, dir, "b1");
    board.wake();
    board.serve('2', ":0");
    EXPECT_EQ(board.finish(), 0) << board.tool().err();
    EXPECT_EQ(board.results(), "Testing FLASH... passed\n");
}

TEST(CommandLine, PosixlyCorrectStopsAtTheFirstOperand)
{
    // "sram -v" then reads as two operands: all tests, quiet.
    ScriptedBoard board({"sram", "-v"}, {{"POSIXLY_CORRECT", "1"}});
    board.wake();
    board.serve_all(":0", ":0", ":0");
    EXPECT_EQ(board.finish(), 0);
    EXPECT_EQ(board.results(),
              "Testing SDRAM... passed\nTesting FLASH... passed\nTesting SRAM... passed\n");
}

TEST(CommandLine, TwoOperandsRunEveryTest)
{
    ScriptedBoard board({"sdram", "flash"});
    board.wake();
    board.serve_all(":0", ":0", ":0");
    EXPECT_EQ(board.finish(), 0);
}

} // namespace
