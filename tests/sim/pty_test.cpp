// korvasim as a program: the resident loader over a real pseudo-terminal,
// sessions, the command line.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "program_runner.h"
#include "session.h"

namespace {

const int TIMEOUT_MS = 5000;

// The host side of the simulated board's port, opened as dudedoved would.
class HostPort {
public:
    explicit HostPort(const std::string& path)
    {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY);
        EXPECT_GE(fd_, 0) << path;
        termios raw;
        tcgetattr(fd_, &raw);
        cfmakeraw(&raw);
        tcsetattr(fd_, TCSANOW, &raw);
        tcflush(fd_, TCIOFLUSH);
    }
    ~HostPort() { close(fd_); }

    // Reads until count bytes arrived or timeout_ms passed.
    std::string read_bytes(size_t count, int timeout_ms)
    {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (got.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now()).count();
            pollfd p = {fd_, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
                break;
            char c;
            if (read(fd_, &c, 1) != 1)
                break;
            got += c;
        }
        return got;
    }

    void send(const std::vector<uint8_t>& bytes)
    {
        ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

private:
    int fd_ = -1;
};

// The simulator sees a close only if the port stays closed for a moment.
void host_close_pause()
{
    usleep(50 * 1000);
}

class Simulator {
public:
    explicit Simulator(std::vector<std::string> args) : process_(KORVASIM_PATH, ChildOptions{std::move(args), {}, {}})
    {
        EXPECT_TRUE(process_.wait_stdout("\n", TIMEOUT_MS)) << process_.err();
        path_ = process_.out().substr(0, process_.out().find('\n'));
    }
    const std::string& path() const { return path_; }
    Session& process() { return process_; }

private:
    Session process_;
    std::string path_;
};

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

TEST(Loader, OversizedImageIsRefusedAndTheBoardStaysSilent)
{
    Simulator sim({"--once"});
    {
        HostPort host(sim.path());
        ASSERT_EQ(host.read_bytes(1, TIMEOUT_MS).size(), 1u);
        std::vector<uint8_t> image = test_program("echo");
        image.resize(4100, 0);
        host.send(image);
        EXPECT_EQ(host.read_bytes(1, 800), "");
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

TEST(Loader, CpuFaultIsReportedAndTheBoardGoesQuiet)
{
    Simulator sim({"--once", "--image", std::string(PROGRAM_DIR) + "/bad_access.bin"});
    {
        HostPort host(sim.path());
        EXPECT_EQ(host.read_bytes(1, 800), "");
        host.send({'1'});
        EXPECT_EQ(host.read_bytes(1, 300), "");
    }
    EXPECT_EQ(sim.process().wait_exit(TIMEOUT_MS), 0);
    EXPECT_NE(sim.process().err().find("the board stopped: "), std::string::npos);
    EXPECT_NE(sim.process().err().find("address 0x30000000"), std::string::npos)
        << sim.process().err();
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
    }
    EXPECT_EQ(sim.process().wait_exit(TIMEOUT_MS), 0);
    const std::string lines = read_file(trace);
    // The program's first two accesses: 'H' and 'I' into the transmitter.
    const std::string first = lines.substr(0, lines.find('\n'));
    EXPECT_EQ(first.substr(first.find(' ')), " W 0x50001000 1 0x00000048") << lines.substr(0, 200);
    EXPECT_NE(lines.find(" W 0x50001000 1 0x00000049\n"), std::string::npos);
    EXPECT_NE(lines.find(" R 0x50001005 1 0x00000060\n"), std::string::npos);
}

struct BadArgumentCase {
    const char* name;
    std::vector<std::string> args;
    const char* message;
};

void PrintTo(const BadArgumentCase& c, std::ostream* os)
{
    *os << c.name;
}

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
        BadArgumentCase{"MissingImage", {"--image", "/nonexistent.bin"}, "cannot read image /nonexistent.bin"},
        BadArgumentCase{"UnknownOption", {"--frobnicate"}, "Usage: korvasim"},
        BadArgumentCase{"Operand", {"extra"}, "Usage: korvasim"}),
    [](const testing::TestParamInfo<BadArgumentCase>& info) { return info.param.name; });

} // namespace
