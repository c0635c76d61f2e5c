// dudedoved on a board behind Debian's ser2net, over RFC 2217 on loopback:
// the same runs as on a local port, the server gone mid-run, a server that
// refuses the line's settings, and a network's latency that the out-of-step
// guard must live with.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <thread>

#include "link/board_protocol.h"
#include "tests/support/delay_relay.h"
#include "tests/support/loopback.h"
#include "tests/support/ser2net_server.h"
#include "tests/support/session.h"

namespace {

const int RUN_TIMEOUT_MS = 60000;
const std::string ALL_PASSED = "Testing SDRAM... passed\nTesting FLASH... passed\nTesting SRAM... passed\n";

class SimulatedBoard {
public:
    explicit SimulatedBoard(std::vector<std::string> args = {})
        : sim_(KORVASIM_PATH, ChildOptions{std::move(args), {}, {}})
    {
        EXPECT_TRUE(sim_.wait_stdout("\n", RUN_TIMEOUT_MS)) << sim_.err();
        port_ = sim_.out().substr(0, sim_.out().find('\n'));
    }
    const std::string& port() const { return port_; }

private:
    Session sim_;
    std::string port_;
};

struct NetworkRun {
    const char* name;
    std::vector<std::string> faults;
    std::vector<std::string> args;
    int status;
    std::string results;  // the console's test lines
};

void PrintTo(const NetworkRun& r, std::ostream* os)
{
    *os << r.name;
}

class NetworkPortRun : public testing::TestWithParam<NetworkRun> {};

TEST_P(NetworkPortRun, IsTheRunOfALocalPort)
{
    std::vector<std::string> sim_args;
    for (const std::string& f : GetParam().faults)
        sim_args.insert(sim_args.end(), {"--fault", f});
    SimulatedBoard board(sim_args);
    const std::string dir = make_temp_dir();
    Ser2net server(dir, {board.port()});
    std::vector<std::string> args = {"-p", server.url(0), "-l", dir + "/run.log"};
    args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
    Session tool(DUDEDOVED_PATH, ChildOptions{args, {}, dir});
    EXPECT_EQ(tool.wait_exit(RUN_TIMEOUT_MS), GetParam().status) << tool.err();
    EXPECT_EQ(console_results(tool.out()), GetParam().results);
    EXPECT_EQ(tool.err(), "");
}

INSTANTIATE_TEST_SUITE_P(
    NetworkPort, NetworkPortRun,
    testing::Values(NetworkRun{"Default", {}, {}, 0, ALL_PASSED},
                    NetworkRun{"Faulty", {"sram.d3=0"}, {}, 1,
                               "Testing SDRAM... passed\nTesting FLASH... passed\nTesting SRAM... failed\n"}),
    [](const testing::TestParamInfo<NetworkRun>& info) { return std::string(info.param.name); });

TEST(NetworkPort, AVerboseReportArrivesWhole)
{
    // Every byte of the SRAM report, 0xFF-free or not, as a local port gives it.
    SimulatedBoard local_board, remote_board;
    const std::string dir = make_temp_dir();
    Ser2net server(dir, {remote_board.port()});
    Session local(DUDEDOVED_PATH, ChildOptions{{"-p", local_board.port(), "-v", "flash"}, {}, dir});
    Session remote(DUDEDOVED_PATH, ChildOptions{{"-p", server.url(0), "-v", "flash"}, {}, dir});
    ASSERT_EQ(local.wait_exit(RUN_TIMEOUT_MS), 0) << local.err();
    ASSERT_EQ(remote.wait_exit(RUN_TIMEOUT_MS), 0) << remote.err();
    EXPECT_EQ(remote.out(), local.out());
}

TEST(NetworkPort, AContinuousRunGoesOnUntilStopped)
{
    SimulatedBoard board;
    const std::string dir = make_temp_dir();
    Ser2net server(dir, {board.port()});
    Session tool(DUDEDOVED_PATH, ChildOptions{{"-p", server.url(0), "-c"}, {}, dir});
    ASSERT_TRUE(tool.wait_until([&] { return count_of(tool.out(), "Testing SRAM... passed") >= 3; }, RUN_TIMEOUT_MS))
        << tool.err();
    tool.signal(SIGINT);
    EXPECT_EQ(tool.wait_exit(RUN_TIMEOUT_MS), 128 + SIGINT);
    EXPECT_EQ(count_of(tool.out(), "failed"), 0u);
}

TEST(NetworkPort, AServerKilledMidRunIsALostPort)
{
    SimulatedBoard board;
    const std::string dir = make_temp_dir();
    Ser2net server(dir, {board.port()});
    Session tool(DUDEDOVED_PATH, ChildOptions{{"-p", server.url(0), "-v", "-c"}, {}, dir});
    ASSERT_TRUE(tool.wait_stdout("Testing SDRAM...\n", RUN_TIMEOUT_MS)) << tool.err();
    server.process().signal(SIGKILL);
    EXPECT_EQ(tool.wait_exit(RUN_TIMEOUT_MS), 1);
    // A server killed with our bytes unread resets the connection instead of closing it.
    EXPECT_TRUE(tool.err() == "Lost serial port " + server.url(0) + " (the server closed the connection).\n" ||
                tool.err() == "Lost serial port " + server.url(0) + " (Connection reset by peer).\n")
        << tool.err();
}

struct OpenFailure {
    const char* name;
    std::string url;
    std::string reason;  // its start: a resolver says why in its own words
};

void PrintTo(const OpenFailure& f, std::ostream* os)
{
    *os << f.name;
}

class NetworkPortOpen : public testing::TestWithParam<OpenFailure> {};

TEST_P(NetworkPortOpen, FailsInOneLineNamingTheUrl)
{
    Session tool(DUDEDOVED_PATH, ChildOptions{{"-p", GetParam().url}, {}, make_temp_dir()});
    EXPECT_EQ(tool.wait_exit(RUN_TIMEOUT_MS), 1);
    const std::string start = "Could not open serial port " + GetParam().url + " (" + GetParam().reason;
    EXPECT_EQ(tool.err().substr(0, start.size()), start);
    EXPECT_EQ(tool.err().substr(tool.err().size() - 3), ").\n");
    EXPECT_EQ(count_of(tool.err(), "\n"), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    NetworkPort, NetworkPortOpen,
    testing::Values(OpenFailure{"NameThatDoesNotResolve", "rfc2217://bench3.invalid:3001",
                                "cannot resolve bench3.invalid: "},
                    OpenFailure{"RefusedConnection", "rfc2217://127.0.0.1:" + std::to_string(unused_loopback_port()),
                                "Connection refused"},
                    OpenFailure{"NoPort", "rfc2217://bench3", "expected rfc2217://HOST:PORT"},
                    OpenFailure{"PortNotANumber", "rfc2217://bench3:telnet", "expected rfc2217://HOST:PORT"},
                    OpenFailure{"PortBeyondTheLast", "rfc2217://127.0.0.1:91640",
                                "expected rfc2217://HOST:PORT, PORT from 1 to 65535"},
                    OpenFailure{"PortZero", "rfc2217://127.0.0.1:0", "expected rfc2217://HOST:PORT, PORT from 1 to 65535"}),
    [](const testing::TestParamInfo<OpenFailure>& info) { return std::string(info.param.name); });

// A server on loopback for one client, whom client serves on a thread of
// its own until it is done or stop is set.
class OneClientServer {
public:
    using Client = std::function<void(int fd, const std::atomic<bool>& stop)>;
    explicit OneClientServer(Client client) : client_(std::move(client))
    {
        listener_ = listen_on_loopback(&port_, 1);
        thread_ = std::thread([this] { serve(); });
    }
    ~OneClientServer()
    {
        stop_ = true;
        shutdown(listener_, SHUT_RDWR);
        close(listener_);
        thread_.join();
    }
    std::string url() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }

private:
    void serve()
    {
        const int c = accept(listener_, nullptr, nullptr);
        if (c < 0)
            return;
        client_(c, stop_);
        close(c);
    }

    Client client_;
    int listener_ = -1, port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A telnet server that agrees to everything but answers the baud rate with
// one of its own, as an access server whose port cannot go that fast.
void refuse_the_baud_rate(int c, const std::atomic<bool>&)
{
    std::string in;
    unsigned char buffer[512];
    ssize_t n;
    while ((n = read(c, buffer, sizeof buffer)) > 0) {
        in.append(reinterpret_cast<char*>(buffer), static_cast<size_t>(n));
        std::string out;
        size_t i = 0;
        for (; i + 2 < in.size(); ) {
            const unsigned char verb = static_cast<unsigned char>(in[i + 1]);
            if (static_cast<unsigned char>(in[i]) != 255) {
                ++i;
            } else if (verb == 251 || verb == 253) {  // WILL, DO: agreed
                out += {'\xff', static_cast<char>(verb == 251 ? 253 : 251), in[i + 2]};
                i += 3;
            } else if (verb == 250) {  // SB 44 command value IAC SE
                const size_t se = in.find("\xff\xf0", i);
                if (se == std::string::npos)
                    break;
                std::string value = in.substr(i + 4, se - i - 4);
                if (in[i + 3] == 1)
                    value = std::string("\x00\x00\x25\x80", 4);  // 9600
                out += "\xff\xfa\x2c" + std::string(1, static_cast<char>(in[i + 3] + 100)) + value + "\xff\xf0";
                i = se + 2;
            } else {
                i += 3;
            }
        }
        in.erase(0, i);
        if (write(c, out.data(), out.size()) != static_cast<ssize_t>(out.size()))
            break;
    }
}

TEST(NetworkPort, AServerThatRefusesTheBaudRateIsNamed)
{
    OneClientServer server(refuse_the_baud_rate);
    Session tool(DUDEDOVED_PATH, ChildOptions{{"-p", server.url()}, {}, make_temp_dir()});
    EXPECT_EQ(tool.wait_exit(RUN_TIMEOUT_MS), 1);
    EXPECT_EQ(tool.err(), "Could not configure serial port " + server.url() +
                              " (the server refuses 115200 baud (it answered 9600)).\n");
}

// A server that never reads and sends without end: either the board's
// bytes before any negotiation, or the same option request again and again.
OneClientServer::Client flood_with(const std::string& flood)
{
    return [flood](int c, const std::atomic<bool>& stop) {
        std::string block;
        while (block.size() < 16384)
            block += flood;
        while (!stop && send(c, block.data(), block.size(), MSG_NOSIGNAL) > 0) {
        }
    };
}

struct Flood {
    const char* name;
    std::string bytes;
};

void PrintTo(const Flood& f, std::ostream* os)
{
    *os << f.name;
}

class NetworkPortFlood : public testing::TestWithParam<Flood> {};

TEST_P(NetworkPortFlood, EndsWithinTheSetUpLimitInOneLine)
{
    OneClientServer server(flood_with(GetParam().bytes));
    Session tool(DUDEDOVED_PATH, ChildOptions{{"-p", server.url()}, {}, make_temp_dir()});
    EXPECT_EQ(tool.wait_exit(RUN_TIMEOUT_MS), 1);
    const std::string start = "Could not ";
    EXPECT_EQ(tool.err().substr(0, start.size()), start) << tool.err();
    EXPECT_NE(tool.err().find(server.url()), std::string::npos) << tool.err();
    EXPECT_EQ(count_of(tool.err(), "\n"), 1u) << tool.err();
}

INSTANTIATE_TEST_SUITE_P(NetworkPort, NetworkPortFlood,
                         testing::Values(Flood{"DataInsteadOfNegotiating", "data before any option "},
                                         Flood{"TheSameRequestWithoutEnd", "\xff\xfd\x05"}),
                         [](const testing::TestParamInfo<Flood>& info) { return std::string(info.param.name); });

TEST(NetworkPort, TheOutOfStepGuardHoldsWithANetworksLatency)
{
    // 60 ms each way between the tool and the server: a sound board passes,
    // and a monitor that was already running is still caught.
    const std::string dir = make_temp_dir();
    SimulatedBoard sound;
    SimulatedBoard running({"--image", BOOT_IMAGE_BIN, "--power", dir + "/power"});
    Ser2net server(dir, {sound.port(), running.port()});
    DelayRelay to_sound(server.port(0), 60), to_running(server.port(1), 60);
    Session good(DUDEDOVED_PATH, ChildOptions{{"-p", "rfc2217://127.0.0.1:" + std::to_string(to_sound.port())}, {}, dir});
    EXPECT_EQ(good.wait_exit(RUN_TIMEOUT_MS), 0) << good.err();
    EXPECT_EQ(console_results(good.out()), ALL_PASSED);
    Session stale(DUDEDOVED_PATH,
                  ChildOptions{{"-p", "rfc2217://127.0.0.1:" + std::to_string(to_running.port())}, {}, dir});
    ASSERT_TRUE(stale.wait_stdout(WAKE_UP_MESSAGE, RUN_TIMEOUT_MS)) << stale.err();
    switch_power(dir + "/power", "on");
    EXPECT_EQ(stale.wait_exit(RUN_TIMEOUT_MS), 1);
    EXPECT_EQ(stale.err(), std::string(OUT_OF_STEP_MESSAGE) + "\n");
    EXPECT_EQ(stale.out().find("passed"), std::string::npos);
}

} // namespace
