// korvasim's sessions as hosts really behave: bytes before the wake-up,
// quick re-opens, a second holder, a host that stops reading, and memory
// over a long session.
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
    const long before = cpu_ticks(sim.process().pid());
    // Nothing to wait for but time: a spinning loop takes a tick (10 ms)
    // of every few even on a loaded machine.
    usleep(300 * 1000);
    EXPECT_LT(cpu_ticks(sim.process().pid()) - before, 5);
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
    // Opening an exclusive port fails for anybody but root: open it the
    // ordinary way, then look at what the new session was given once it
    // began (its wake-up byte: the simulator took the close before it).
    HostPort host(sim.path(), false);
    expect_wake_byte(host, "second session");
    int exclusive = 0;
    ASSERT_EQ(ioctl(host.fd(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    termios line;
    tcgetattr(host.fd(), &line);
    EXPECT_EQ(cfgetospeed(&line), B115200);
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
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
    // The session ends once the simulator takes the close, and says what
    // it dropped; until then the board talks on into the port.
    EXPECT_TRUE(sim.process().wait_until(
        [&] { return sim.process().err().find("the host did not read") != std::string::npos; }, TIMEOUT_MS))
        << sim.process().err();
    HostPort next(sim.path());
    EXPECT_EQ(next.read_bytes(1, TIMEOUT_MS), "?") << "the next session gets a fresh board";
    sim.process().signal(SIGTERM);
    EXPECT_EQ(sim.process().wait_exit(TIMEOUT_MS), 0);
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

} // namespace
