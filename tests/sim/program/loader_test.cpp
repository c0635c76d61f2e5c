// korvasim as a program: the resident loader over a real pseudo-terminal,
// its images and faults, and the outside power switch.
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
    // A board that read the image right echoes at once; this only waits
    // for an echo that must not come.
    EXPECT_NE(host.read_bytes(2, 500), "HI") << "the loader read the image wrong";
}

TEST(Loader, AHostThatPurgesItsPortLateGetsTheWakeUpByteAgain)
{
    Simulator sim({});
    // A loaded host: its port opened, not yet set up when the board wakes.
    HostPort host(sim.path(), false);
    int waiting = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TIMEOUT_MS);
    while ((ioctl(host.fd(), FIONREAD, &waiting) != 0 || waiting == 0) && std::chrono::steady_clock::now() < deadline)
        usleep(10 * 1000);
    ASSERT_EQ(waiting, 1) << "the wake-up byte never came";
    ASSERT_EQ(tcflush(host.fd(), TCIOFLUSH), 0);
    EXPECT_EQ(host.read_bytes(1, TIMEOUT_MS), std::string(1, '\0')) << "the purged wake-up byte is said again";
    host.send(test_program("echo"));
    EXPECT_EQ(host.read_bytes(2, TIMEOUT_MS), "HI");
    EXPECT_EQ(host.read_bytes(1, 100), "") << "and only once";
}

TEST(Loader, ClosingThePortResetsTheBoard)
{
    Simulator sim({});
    for (int session = 0; session < 2; ++session) {
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
        // A powered board's loader speaks after its 200 ms power-up: a
        // little longer shows that none did.
        EXPECT_EQ(host.read_bytes(1, 400), "") << "opening the port powered the board";
        switch_power(power, "on\n");
        EXPECT_EQ(host.read_bytes(1, TIMEOUT_MS), "?");
        host.send(test_program("echo"));
        EXPECT_EQ(host.read_bytes(2, TIMEOUT_MS), "HI");
    }
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

} // namespace
