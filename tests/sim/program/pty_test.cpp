// korvasim as a program: the resident loader over a real pseudo-terminal,
// sessions, the command line.
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

TEST(Loader, WakesUpAfterTheOpenTakesTheImageAndStartsIt)
{
    Simulator sim({"--wake-byte", "0x3f"});
    ASSERT_EQ(sim.path().rfind("/dev/pts/", 0), 0u) << sim.path();
    HostPort host(sim.path());
    const auto opened = std::chrono::steady_clock::now();
    EXPECT_EQ(host.read_bytes(1, TIMEOUT_MS), "?");
    EXPECT_GE(std::chrono::steady_clock::now() - opened, std::chrono::milliseconds(150));
    host.send(test_program("echo"));
    EXPECT_EQ(host.read_bytes(2, TIMEOUT_MS), "HI");
    host.send({'o', 'k'});
    EXPECT_EQ(host.read_bytes(2, TIMEOUT_MS), "ok");
}

TEST(Loader, AHostAtAnotherRateGetsNoWorkingBoard)
{
    Simulator sim({"--wake-byte", "0x3f"});
    HostPort host(sim.path());
    // After the wake-up byte: the session's start sets the port back to
    // 115200 8N1.
    ASSERT_EQ(host.read_bytes(1, TIMEOUT_MS).size(), 1u);
    termios slow;
    tcgetattr(host.fd(), &slow);
    cfsetispeed(&slow, B9600);
    cfsetospeed(&slow, B9600);
    tcsetattr(host.fd(), TCSANOW, &slow);
    host.send(test_program("echo"));
    EXPECT_NE(host.read_bytes(2, 1000), "HI") << "the loader read the image wrong";
}

TEST(Loader, ClosingThePortResetsTheBoard)
{
    Simulator sim({});
    for (int session = 0; session < 2; ++session) {
        if (session > 0)
            host_close_pause();
        HostPort host(sim.path());
        ASSERT_EQ(host.read_bytes(1, TIMEOUT_MS), std::string(1, '\0')) << "session " << session;
        host.send(test_program("echo"));
        EXPECT_EQ(host.read_bytes(2, TIMEOUT_MS), "HI");
    }
}

void switch_power(const std::string& pipe, const std::string& words)
{
    std::ofstream(pipe) << words;
}

TEST(PowerSwitch, TheSwitchNotThePortPowersTheBoard)
{
    const std::string power = make_temp_dir() + "/power";
    Simulator sim({"--power", power, "--wake-byte", "0x3f"});
    struct stat st;
    ASSERT_EQ(stat(power.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    {
        HostPort host(sim.path());
        EXPECT_EQ(host.read_bytes(1, 600), "") << "opening the port powered the board";
        switch_power(power, "on\n");
        EXPECT_EQ(host.read_bytes(1, TIMEOUT_MS), "?");
        host.send(test_program("echo"));
        EXPECT_EQ(host.read_bytes(2, TIMEOUT_MS), "HI");
    }
    host_close_pause();
    {
        // Still powered: the program answers, and no loader wakes up.
        HostPort host(sim.path());
        host.send({'o', 'k'});
        EXPECT_EQ(host.read_bytes(2, TIMEOUT_MS), "ok");
        switch_power(power, "off\nlouder\n");
        ASSERT_TRUE(sim.process().wait_until(
            [&] { return sim.process().err().find("unknown command 'louder' (on or off)") != std::string::npos; },
            TIMEOUT_MS));
        host.send({'o', 'k'});
        EXPECT_EQ(host.read_bytes(2, 600), "") << "a board switched off answered";
        switch_power(power, "on\n");
        EXPECT_EQ(host.read_bytes(1, TIMEOUT_MS), "?");
        // Off and on again at once is still a power cycle: the loader wakes anew.
        switch_power(power, "off\non\n");
        EXPECT_EQ(host.read_bytes(1, TIMEOUT_MS), "?");
    }
    sim.process().signal(SIGTERM);
    EXPECT_EQ(sim.process().wait_exit(TIMEOUT_MS), 0);
    EXPECT_NE(access(power.c_str(), F_OK), 0) << "the switch's pipe was left behind";
}

TEST(PowerSwitch, IsOneBoardsAndLeavesWhatIsNotItsOwn)
{
    const std::string dir = make_temp_dir();
    const std::string power = dir + "/power";
    Simulator sim({"--power", power});
    // A second board on the same switch would take half of its words.
    Session second(KORVASIM_PATH, ChildOptions{{"--power", power}, {}, {}});
    EXPECT_EQ(second.wait_exit(TIMEOUT_MS), 1);
    EXPECT_NE(second.err().find("cannot use --power " + power + ": another korvasim takes its power from it"),
              std::string::npos) << second.err();
    // A line of megabytes is told in a few words.
    switch_power(power, std::string(10 * 1024 * 1024, 'x') + "\non\n");
    ASSERT_TRUE(sim.process().wait_until(
        [&] { return sim.process().err().find("a line of more than 4096 bytes") != std::string::npos; }, TIMEOUT_MS))
        << sim.process().err().substr(0, 200);
    EXPECT_LT(sim.process().err().size(), 1000u);
    // A file put where the pipe was is not the simulator's to delete.
    ASSERT_EQ(unlink(power.c_str()), 0);
    std::ofstream(power) << "someone's notes\n";
    sim.process().signal(SIGTERM);
    EXPECT_EQ(sim.process().wait_exit(TIMEOUT_MS), 0);
    EXPECT_EQ(read_file(power), "someone's notes\n");
}

TEST(Loader, OversizedImageIsRefusedAndTheBoardStaysSilent)
{
    Simulator sim({"--once"});
    {
        HostPort host(sim.path());
        ASSERT_EQ(host.read_bytes(1, TIMEOUT_MS).size(), 1u);
        std::vector<uint8_t> image = test_program("echo");
        image.resize(4100, 0);
        host.send(image);
        EXPECT_TRUE(sim.process().wait_until(
            [&] { return sim.process().err().find("image refused") != std::string::npos; },
            TIMEOUT_MS));
        EXPECT_EQ(host.read_bytes(1, 300), "");
    }
    EXPECT_EQ(sim.process().wait_exit(TIMEOUT_MS), 0);
    EXPECT_NE(sim.process().err().find("image refused"), std::string::npos) << sim.process().err();
}

TEST(Loader, ImageOptionBootsWithoutTheLoader)
{
    Simulator sim({"--image", std::string(PROGRAM_DIR) + "/echo.bin"});
    HostPort host(sim.path());
    EXPECT_EQ(host.read_bytes(2, TIMEOUT_MS), "HI");
}

TEST(Loader, MonitorOptionBootsTheCarriedMonitor)
{
    Simulator sim({"--monitor"});
    HostPort host(sim.path());
    ASSERT_EQ(host.read_bytes(1, TIMEOUT_MS), "?");
    host.send({'3'});
    EXPECT_EQ(host.read_bytes(3, TIMEOUT_MS), ":0?");
}

TEST(Loader, AKeypressTakenAsTheImageIsExplained)
{
    // A person with a terminal program on a board in loader mode.
    Simulator sim({"--once"});
    HostPort host(sim.path());
    ASSERT_EQ(host.read_bytes(1, TIMEOUT_MS), std::string(1, '\0'));
    host.send({'1'});
    EXPECT_TRUE(sim.process().wait_until(
        [&] {
            return sim.process().err().find("(the loader took 1 byte as the boot image; korvasim --monitor "
                                            "boots the monitor for a terminal program)") != std::string::npos;
        },
        TIMEOUT_MS))
        << sim.process().err();
}

TEST(Loader, CpuFaultIsReportedAndTheBoardGoesQuiet)
{
    Simulator sim({"--once", "--image", std::string(PROGRAM_DIR) + "/bad_access.bin"});
    {
        HostPort host(sim.path());
        EXPECT_EQ(host.read_bytes(1, 800), "");
        host.send({'1'});
        EXPECT_EQ(host.read_bytes(1, 300), "");
        // Told at once, while the host still has the port.
        EXPECT_TRUE(sim.process().wait_until(
            [&] { return sim.process().err().find("the board stopped") != std::string::npos; },
            TIMEOUT_MS));
    }
    EXPECT_EQ(sim.process().wait_exit(TIMEOUT_MS), 0);
    EXPECT_NE(sim.process().err().find("the board stopped: "), std::string::npos);
    EXPECT_NE(sim.process().err().find("address 0x30000000"), std::string::npos)
        << sim.process().err();
}

TEST(Loader, AccessThatNoRegisterTakesIsToldOnceOnStandardErrorAndInTheTrace)
{
    const std::string trace = make_temp_dir() + "/trace.txt";
    Simulator sim({"--once", "--trace", trace, "--image",
                   std::string(PROGRAM_DIR) + "/undefined_registers.bin"});
    {
        HostPort host(sim.path());
        EXPECT_TRUE(sim.process().wait_until(
            [&] { return sim.process().err().find("the board stopped") != std::string::npos; },
            TIMEOUT_MS));
    }
    EXPECT_EQ(sim.process().wait_exit(TIMEOUT_MS), 0);
    const std::string told = "write of 4 bytes at 0x50001b00: no such register, or not of that width\n";
    const std::string& err = sim.process().err();
    EXPECT_EQ(err.find("korvasim: " + told), err.rfind("korvasim: " + told)) << err;
    EXPECT_NE(err.find("korvasim: " + told), std::string::npos) << err;
    EXPECT_NE(read_file(trace).find("undefined: " + told), std::string::npos);
}

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

// ---- Sessions as hosts really behave ----------------------------------------

// Bytes until the loader's wake-up byte: whatever the port held before it.
void expect_wake_byte(HostPort& host, const std::string& context)
{
    EXPECT_EQ(host.read_bytes(1, TIMEOUT_MS), std::string(1, '\0')) << context;
}

TEST(Sessions, BytesSentBeforeTheWakeUpByteAreNotPartOfTheImage)
{
    Simulator sim({});
    for (size_t stale : {3, 1000}) {
        {
            // As `echo hi > port` would: bytes on a port nobody configured.
            HostPort shell(sim.path(), false);
            ASSERT_EQ(write(shell.fd(), std::string(stale, 'h').data(), stale),
                      static_cast<ssize_t>(stale));
        }
        HostPort host(sim.path(), false);
        ASSERT_EQ(write(host.fd(), "junk", 4), 4);  // before the wake-up byte
        expect_wake_byte(host, std::to_string(stale) + " stale bytes");
        host.send(test_program("echo"));
        EXPECT_EQ(host.read_bytes(2, TIMEOUT_MS), "HI") << stale << " stale bytes";
    }
    EXPECT_EQ(sim.process().err(), "");
}

TEST(Sessions, EveryOpenAfterACloseIsAPowerCycleHoweverQuick)
{
    Simulator sim({});
    // Quick open-close cycles, some cut off in the middle of an image.
    for (int i = 0; i < 120; ++i) {
        HostPort host(sim.path());
        if (i % 3 == 0) {
            host.read_bytes(1, TIMEOUT_MS);
            std::vector<uint8_t> half = test_program("echo");
            half.resize(half.size() / 2);
            host.send(half);
        }
    }
    // Closed and at once opened again: each session has its own wake-up byte.
    for (int session = 0; session < 5; ++session) {
        HostPort host(sim.path());
        expect_wake_byte(host, "session " + std::to_string(session));
        host.send(test_program("echo"));
        EXPECT_EQ(host.read_bytes(2, TIMEOUT_MS), "HI") << "session " << session;
    }
    EXPECT_EQ(sim.process().err(), "");
}

long cpu_ticks(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    long ticks = 0;
    for (int i = 1; i <= 15 && stat >> field; ++i)
        if (i == 14 || i == 15)
            ticks += atol(field.c_str());
    return ticks;
}

TEST(Sessions, BetweenSessionsTheSimulatorSleeps)
{
    Simulator sim({});
    {
        HostPort host(sim.path());
        expect_wake_byte(host, "the session");
    }
    host_close_pause();
    const long before = cpu_ticks(sim.process().pid());
    sleep(1);
    // A spinning loop takes the whole second (100 ticks) even on a loaded machine.
    EXPECT_LT(cpu_ticks(sim.process().pid()) - before, 30);
}

TEST(Sessions, ASecondHolderNeitherResetsNorWakesTheBoard)
{
    Simulator sim({});
    HostPort first(sim.path());
    expect_wake_byte(first, "first holder");
    first.send(test_program("echo"));
    EXPECT_EQ(first.read_bytes(2, TIMEOUT_MS), "HI");
    {
        HostPort second(sim.path(), false);
        first.send({'a'});
        EXPECT_EQ(first.read_bytes(1, TIMEOUT_MS), "a");
    }
    first.send({'b'});
    EXPECT_EQ(first.read_bytes(1, TIMEOUT_MS), "b");
}

TEST(Sessions, EverySessionStartsOnAPortInItsDefaultState)
{
    Simulator sim({});
    {
        HostPort host(sim.path());
        ASSERT_EQ(ioctl(host.fd(), TIOCEXCL), 0);
        expect_wake_byte(host, "first session");
        termios odd;
        tcgetattr(host.fd(), &odd);
        cfsetospeed(&odd, B9600);
        cfsetispeed(&odd, B9600);
        odd.c_lflag |= ICANON | ECHO;
        tcsetattr(host.fd(), TCSANOW, &odd);
    }
    host_close_pause();
    // Opening an exclusive port fails for anybody but root: open it the
    // ordinary way, then look at what the new session was given.
    HostPort host(sim.path(), false);
    int exclusive = 0;
    ASSERT_EQ(ioctl(host.fd(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    termios line;
    tcgetattr(host.fd(), &line);
    EXPECT_EQ(cfgetospeed(&line), B115200);
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    expect_wake_byte(host, "second session");
}

// A figure of a process from /proc/PID/FILE, from the line that starts
// with key ("wchar:" of io: bytes written; "VmRSS:" of status: kB resident).
long proc_figure(pid_t pid, const char* file, const std::string& key)
{
    std::ifstream figures("/proc/" + std::to_string(pid) + "/" + file);
    for (std::string line; std::getline(figures, line);)
        if (line.rfind(key, 0) == 0)
            return atol(line.c_str() + key.size());
    return -1;
}

TEST(Sessions, AHostThatStopsReadingAndVanishesDoesNotWedgeTheBoard)
{
    // Timing is what this is about: the simulator as it ships, without the
    // sanitizers' cost, so that a loaded machine keeps the line's pace too.
    Simulator sim({"--image", BOOT_IMAGE_BIN}, KORVASIM_PLAIN_PATH);
    {
        HostPort host(sim.path());
        ASSERT_EQ(host.read_bytes(1, TIMEOUT_MS), "?");
        host.send({'v'});
        // Verbose SRAM tests, a kilobyte each, and nobody reads them, until
        // the terminal's buffers are full: the simulator's writes to it stop
        // (its written bytes stand still for a second), and what the board
        // sends from then on is dropped.
        const auto start = std::chrono::steady_clock::now();
        auto still_since = start;
        long written = -1;
        while (std::chrono::steady_clock::now() - still_since < std::chrono::seconds(1) &&
               std::chrono::steady_clock::now() - start < std::chrono::seconds(60)) {
            host.send({'3'});
            usleep(20 * 1000);
            const long now_written = proc_figure(sim.process().pid(), "io", "wchar:");
            if (now_written != written || now_written < 8 * 1024)
                still_since = std::chrono::steady_clock::now();
            written = now_written;
        }
        ASSERT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60)) << "the terminal never filled";
    }
    host_close_pause();
    HostPort next(sim.path());
    EXPECT_EQ(next.read_bytes(1, TIMEOUT_MS), "?") << "the next session gets a fresh board";
    sim.process().signal(SIGTERM);
    EXPECT_EQ(sim.process().wait_exit(TIMEOUT_MS), 0);
    EXPECT_NE(sim.process().err().find("the host did not read"), std::string::npos)
        << sim.process().err();
}

TEST(Sessions, MemoryStaysFlatOverALongVerboseSession)
{
    // The simulator as it ships: the sanitizers' own holding is no figure.
    Session process(KORVASIM_PLAIN_PATH, ChildOptions{{"--image", BOOT_IMAGE_BIN}, {}, {}});
    ASSERT_TRUE(process.wait_stdout("\n", TIMEOUT_MS)) << process.err();
    HostPort host(process.out().substr(0, process.out().find('\n')));
    ASSERT_EQ(host.read_bytes(1, TIMEOUT_MS), "?");
    host.send({'v'});
    ASSERT_EQ(host.read_bytes(3, TIMEOUT_MS), ":0?");
    // Every FLASH report has 16 line ends, where the board drops translations.
    const auto flash_tests = [&](int count) {
        for (int i = 0; i < count; ++i) {
            host.send({'2'});
            ASSERT_EQ(host.read_bytes(REPORT_FLASH_BYTES + 3, TIMEOUT_MS).size(), REPORT_FLASH_BYTES + 3u) << "test " << i;
        }
    };
    // At 115200 baud a test takes 6 ms of line time; 150 of them dropping
    // translations used to cost some 22 MB.
    flash_tests(30);
    const long before = proc_figure(process.pid(), "status", "VmRSS:");
    flash_tests(150);
    const long after = proc_figure(process.pid(), "status", "VmRSS:");
    EXPECT_LT(after - before, 16 * 1024) << before << " kB after 30 tests, " << after << " after 180";
}

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
