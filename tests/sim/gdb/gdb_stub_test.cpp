// The debugger's stub against a board in this process, driven packet by
// packet over TCP: bad packets, a second debugger, a debugger that goes,
// faults that land in the debugger, and kill.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <thread>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "firmware/boot_image.h"
#include "tests/support/case_name.h"
#include "sim/gdb/gdb_server.h"
#include "tests/sim/program_runner.h"

namespace {

using korvasim::Board;
using korvasim::BoardConfig;
using korvasim::GdbServer;

const int TIMEOUT_MS = 5000;

// A debugger's end of the connection, speaking the protocol by hand.
class Client {
public:
    explicit Client(uint16_t port)
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        // As gdb does: an ack and the next packet go out at once.
        const int on = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    ~Client() { disconnect(); }

    void disconnect()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

    void send_raw(const std::string& bytes)
    {
        ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Sends a packet and returns the payload of the reply (after the ack).
    std::string ask(const std::string& payload)
    {
        send_raw(korvasim::gdb::frame(payload));
        return reply();
    }

    // The next packet's payload, acknowledged; "<closed>" or "<none>" when
    // the stub closed the connection or sent nothing in time.
    std::string reply()
    {
        korvasim::gdb::PacketReader reader;
        std::vector<korvasim::gdb::PacketReader::Event> events;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TIMEOUT_MS);
        for (;;) {
            for (const auto& e : events)
                if (e.kind == korvasim::gdb::PacketReader::Kind::PACKET) {
                    send_raw("+");
                    return e.payload;
                }
            events.clear();
            pollfd p = {fd_, POLLIN, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
                return "<none>";
            char c;
            if (read(fd_, &c, 1) != 1)
                return "<closed>";
            reader.feed(&c, 1, &events);
        }
    }

    // Sends all of bytes, waiting while the socket is full; false once the
    // stub has closed the connection.
    bool send_all(const std::string& bytes)
    {
        for (size_t sent = 0; sent < bytes.size();) {
            const ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                sent += static_cast<size_t>(n);
            else if (n < 0 && (errno == EAGAIN || errno == EINTR))
                usleep(1000);
            else
                return false;
        }
        return true;
    }

    // As a debugger that stopped reading: the kernel holds little for it.
    void shrink_receive_buffer()
    {
        const int size = 4096;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }

    // The next single byte the stub sends (an ack or a nack).
    char next_byte()
    {
        pollfd p = {fd_, POLLIN, 0};
        char c = 0;
        if (poll(&p, 1, TIMEOUT_MS) <= 0 || read(fd_, &c, 1) != 1)
            return 0;
        return c;
    }

private:
    int fd_ = -1;
};

// A board from the boot image, under a stub on a free port.
class DebuggedBoard {
public:
    explicit DebuggedBoard(bool hold_at_reset = false)
        : server_("127.0.0.1", 0, hold_at_reset, [this](const std::string& news) {
              std::lock_guard<std::mutex> lock(told_mutex_);
              told_ += news + "\n";
          }),
          board_(config())
    {
    }

    BoardConfig config()
    {
        BoardConfig c;
        c.timed_line = false;
        c.debugger = &server_;
        return c;
    }

    uint16_t port() const { return server_.port(); }
    Board& board() { return board_; }
    // The stub's lines so far; its thread adds to them.
    std::string told() const
    {
        std::lock_guard<std::mutex> lock(told_mutex_);
        return told_;
    }

private:
    mutable std::mutex told_mutex_;
    std::string told_;
    GdbServer server_;
    Board board_;
};

std::vector<uint8_t> monitor_image()
{
    return std::vector<uint8_t>(boot_image, boot_image + BOOT_IMAGE_SIZE);
}

// The monitor booted and waiting for a command, stopped there by a debugger
// that attached to it.
class AttachedBoard {
public:
    AttachedBoard() : gdb_(boot()) { EXPECT_EQ(gdb_.ask("?"), "S02"); }

    Board& board() { return debugged_.board(); }
    Client& gdb() { return gdb_; }
    DebuggedBoard& debugged() { return debugged_; }

private:
    uint16_t boot()
    {
        EXPECT_TRUE(debugged_.board().boot(monitor_image(), TIMEOUT_MS));
        return debugged_.port();
    }

    DebuggedBoard debugged_;
    Client gdb_;
};

// Whether the monitor still answers: the SRAM test passes.
void expect_monitor_answers(Board& board)
{
    std::string answer;
    EXPECT_TRUE(board.exchange("3", TIMEOUT_MS, &answer)) << board.fault();
    EXPECT_EQ(answer, ":0?");
}

struct BadPacketCase {
    const char* name;
    std::string packet;
    std::string reply;  // "E" stands for any error reply
};

class GdbBadPacketTest : public testing::TestWithParam<BadPacketCase> {};

TEST_P(GdbBadPacketTest, GetsAnErrorOrNothingAndTheBoardRunsOn)
{
    // Attaching stops the board, here in its wait for a command.
    AttachedBoard attached;
    Client& gdb = attached.gdb();
    const std::string reply = gdb.ask(GetParam().packet);
    if (GetParam().reply == "E")
        EXPECT_EQ(reply.substr(0, 1), "E") << reply;
    else
        EXPECT_EQ(reply, GetParam().reply);
    // The stub still works, and the board goes on when told.
    EXPECT_EQ(gdb.ask("m52000000,4").size(), 8u);
    gdb.send_raw(korvasim::gdb::frame("c"));
    EXPECT_EQ(gdb.next_byte(), '+');
    expect_monitor_answers(attached.board());
}

INSTANTIATE_TEST_SUITE_P(
    GdbStub, GdbBadPacketTest,
    testing::Values(BadPacketCase{"ReadWithoutArguments", "m", "E"},
                    BadPacketCase{"ReadWithoutLength", "m0", "E"},
                    BadPacketCase{"ReadWithoutAddress", "m,4", "E"},
                    BadPacketCase{"ReadNotHex", "mzz,4", "E"},
                    BadPacketCase{"ReadAddressTooLong", "m123456789,4", "E"},
                    BadPacketCase{"ReadOfAUartRegister", "m50001005,1", "E"},
                    BadPacketCase{"ReadOfNothing", "m30000000,4", "E"},
                    BadPacketCase{"WriteWithoutData", "M52000000,4", "E"},
                    BadPacketCase{"WriteShortData", "M52000000,4:00", "E"},
                    BadPacketCase{"WriteNotHex", "M52000000,2:zzzz", "E"},
                    BadPacketCase{"WriteOfAUartRegister", "M50001000,1:41", "E"},
                    BadPacketCase{"RegisterNotHex", "pzz", "E"},
                    BadPacketCase{"RegisterUnknown", "p1a", "E"},
                    BadPacketCase{"RegisterWriteWithoutValue", "P0=", "E"},
                    BadPacketCase{"RegisterWriteShortValue", "P0=123", "E"},
                    BadPacketCase{"RegisterWriteWithoutEquals", "P000000000", "E"},
                    BadPacketCase{"AllRegistersTooShort", "G00", "E"},
                    BadPacketCase{"BreakpointWithoutArguments", "Z0", "E"},
                    BadPacketCase{"BreakpointNotHex", "Z0,zz,4", "E"},
                    BadPacketCase{"WatchpointOfNoLength", "Z2,52000000,0", "E"},
                    BadPacketCase{"WatchpointPastTheEnd", "Z2,fffffffc,8", "E"},
                    BadPacketCase{"PointOfAnUnknownType", "Z9,0,4", ""},
                    BadPacketCase{"DescriptionOfAnotherFile", "qXfer:features:read:other.xml:0,10", "E"},
                    BadPacketCase{"DescriptionWithoutRange", "qXfer:features:read:target.xml:", "E"},
                    BadPacketCase{"ResumeOfAnUnknownKind", "vCont;x", "E"},
                    BadPacketCase{"BinaryWrite", "X52000000,0:", ""},
                    BadPacketCase{"UnknownQuery", "qNoSuchThing", ""},
                    BadPacketCase{"Garbage", std::string("\x01\xff\x7f", 3), ""},
                    BadPacketCase{"Empty", "", ""}),
    CaseName());

TEST(GdbStub, AWrongChecksumIsAskedAgainAndChangesNothing)
{
    DebuggedBoard debugged;
    ASSERT_TRUE(debugged.board().boot(monitor_image(), TIMEOUT_MS));
    Client gdb(debugged.port());
    gdb.send_raw("$c#00");
    EXPECT_EQ(gdb.next_byte(), '-');
    EXPECT_EQ(gdb.ask("?"), "S02");  // still running until now: the bad c did nothing
}

TEST(GdbStub, RegistersAndMemoryAsTheCpuSeesThem)
{
    AttachedBoard attached;
    Client& gdb = attached.gdb();
    DebuggedBoard& debugged = attached.debugged();
    const std::string registers = gdb.ask("g");
    ASSERT_EQ(registers.size(), 17u * 8);
    // The stack pointer lies in the boot RAM's top.
    const uint32_t sp = static_cast<uint32_t>(std::stoul(registers.substr(13 * 8, 8), nullptr, 16));
    EXPECT_GT(sp, IMAGE_BASE + BOOT_RAM_SIZE - 0x100);
    EXPECT_LE(sp, IMAGE_BASE + BOOT_RAM_SIZE);
    EXPECT_EQ(gdb.ask("pd"), registers.substr(13 * 8, 8));
    EXPECT_EQ(gdb.ask("p19"), registers.substr(16 * 8, 8));
    // The image's first word, through the window.
    char first[9];
    snprintf(first, sizeof first, "%02x%02x%02x%02x", boot_image[0], boot_image[1], boot_image[2],
             boot_image[3]);
    EXPECT_EQ(gdb.ask("m50000000,4"), first);
    // A write to the SRAM reads back through the CPU's bus.
    EXPECT_EQ(gdb.ask("M52000010,4:a1b2c3d4"), "OK");
    EXPECT_EQ(gdb.ask("m52000010,4"), "a1b2c3d4");
    EXPECT_EQ(debugged.board().sram().cells()[0x10], 0xA1);
    EXPECT_EQ(gdb.ask("P0=12345678"), "OK");
    EXPECT_EQ(gdb.ask("p0"), "12345678");
}

TEST(GdbStub, ASecondDebuggerIsRefusedAndTheFirstWorksOn)
{
    AttachedBoard attached;
    Client& first = attached.gdb();
    DebuggedBoard& debugged = attached.debugged();
    Client second(debugged.port());
    EXPECT_EQ(second.ask("qSupported"), "E.another debugger is attached to this board");
    EXPECT_EQ(second.reply(), "<closed>");
    EXPECT_EQ(first.ask("m52000000,1").size(), 2u);
    EXPECT_NE(debugged.told().find("refused a debugger from 127.0.0.1:"), std::string::npos)
        << debugged.told();
}

TEST(GdbStub, ADebuggerThatGoesLeavesTheBoardRunning)
{
    DebuggedBoard debugged;
    ASSERT_TRUE(debugged.board().boot(monitor_image(), TIMEOUT_MS));
    {
        Client gdb(debugged.port());
        ASSERT_EQ(gdb.ask("?"), "S02");
        // A watchpoint on the SRAM would hold the board in its test.
        ASSERT_EQ(gdb.ask("Z2,52000000,4"), "OK");
    }
    expect_monitor_answers(debugged.board());
    expect_monitor_answers(debugged.board());
}

TEST(GdbStub, WatchpointsOnTheSramStopBeforeTheAccess)
{
    AttachedBoard attached;
    Client& gdb = attached.gdb();
    DebuggedBoard& debugged = attached.debugged();
    ASSERT_EQ(gdb.ask("Z2,52000000,1"), "OK");
    debugged.board().send("3");  // waits in the receiver while the board stands
    EXPECT_EQ(gdb.ask("c"), "T05watch:52000000;");
    // Stopped before the store: the cell still holds what it held.
    EXPECT_EQ(gdb.ask("m52000000,1"), "00");
    EXPECT_EQ(gdb.ask("z2,52000000,1"), "OK");
    EXPECT_EQ(gdb.ask("s"), "S05");
    EXPECT_EQ(gdb.ask("m52000000,1"), "01");  // the data-bus test's first pattern
    // The read back of the same cell, with a read watchpoint.
    ASSERT_EQ(gdb.ask("Z3,52000000,1"), "OK");
    EXPECT_EQ(gdb.ask("c"), "T05rwatch:52000000;");
    ASSERT_EQ(gdb.ask("z3,52000000,1"), "OK");
    gdb.send_raw(korvasim::gdb::frame("c"));
    EXPECT_TRUE(debugged.board().wait_output_contains(":0?", TIMEOUT_MS)) << debugged.board().output();
}

TEST(GdbStub, KillEndsTheBoardWithoutAFault)
{
    AttachedBoard attached;
    Client& gdb = attached.gdb();
    DebuggedBoard& debugged = attached.debugged();
    gdb.send_raw(korvasim::gdb::frame("k"));
    EXPECT_TRUE(debugged.board().wait_halted(TIMEOUT_MS));
    EXPECT_TRUE(debugged.board().killed());
    EXPECT_EQ(debugged.board().fault(), "");
}

// What gdb's "monitor status" prints.
std::string monitor_status(Client& gdb)
{
    const std::string told = gdb.ask("qRcmd," + korvasim::gdb::to_hex("status"));
    std::vector<uint8_t> text;
    EXPECT_TRUE(told[0] == 'O' && korvasim::gdb::from_hex(told.substr(1), &text)) << told;
    EXPECT_EQ(gdb.reply(), "OK");
    return std::string(text.begin(), text.end());
}

TEST(GdbStub, MonitorStatusTellsWhetherABoardIsPoweredAndWhyItStands)
{
    DebuggedBoard debugged;
    Client gdb(debugged.port());
    EXPECT_EQ(monitor_status(gdb).substr(0, 24), "no board is powered: one");
    EXPECT_NE(debugged.told().find("; no board is powered"), std::string::npos) << debugged.told();
    ASSERT_TRUE(debugged.board().boot(monitor_image(), TIMEOUT_MS));
    EXPECT_EQ(monitor_status(gdb), "the board is powered and running\n");
    ASSERT_EQ(gdb.ask("?"), "S02");
    EXPECT_EQ(monitor_status(gdb), "the board is powered and stopped by the debugger\n");
    const std::string unknown = gdb.ask("qRcmd," + korvasim::gdb::to_hex("reset"));
    std::vector<uint8_t> text;
    ASSERT_TRUE(korvasim::gdb::from_hex(unknown.substr(1), &text));
    EXPECT_EQ(std::string(text.begin(), text.end()).substr(0, 32), "unknown monitor command 'reset';");
    EXPECT_EQ(gdb.reply(), "OK");
}

TEST(GdbStub, ADebuggerThatNeverReadsIsDroppedAndTheNextOneIsServed)
{
    DebuggedBoard debugged;
    ASSERT_TRUE(debugged.board().boot(monitor_image(), TIMEOUT_MS));
    Client greedy(debugged.port());
    greedy.shrink_receive_buffer();
    ASSERT_EQ(greedy.ask("?"), "S02");
    // Asks for the boot RAM over and over and reads none of it, until the
    // stub lets it go.
    const std::string request = korvasim::gdb::frame("m50000000,800");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(12 * TIMEOUT_MS);
    while (debugged.told().find("debugger dropped: it has read nothing") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline && greedy.send_all(request)) {
    }
    while (debugged.told().find("debugger dropped: it has read nothing") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        usleep(10000);
    EXPECT_NE(debugged.told().find("debugger dropped: it has read nothing of the stub's replies"),
              std::string::npos)
        << debugged.told();
    Client next(debugged.port());
    EXPECT_EQ(next.ask("?"), "S02");
}

TEST(GdbStub, ADebuggerThatConnectsAgainAtOnceIsServed)
{
    DebuggedBoard debugged;
    ASSERT_TRUE(debugged.board().boot(monitor_image(), TIMEOUT_MS));
    for (int n = 0; n < 50; ++n) {
        Client gdb(debugged.port());
        ASSERT_EQ(gdb.ask("?"), "S02") << "connection " << n;
    }
    expect_monitor_answers(debugged.board());
}

TEST(GdbStub, StopsAndContinuesDuringAContinuousRunChangeNothing)
{
    // A host runs the tests over and over while a debugger interrupts the
    // board at random points and lets it go on again.
    AttachedBoard attached;
    Client& gdb = attached.gdb();
    Board& board = attached.board();
    gdb.send_raw(korvasim::gdb::frame("c"));
    ASSERT_EQ(gdb.next_byte(), '+');
    std::atomic<bool> done{false};
    std::vector<std::string> answers;
    std::thread host([&] {
        const char commands[] = {'1', '2', '3'};
        for (size_t n = 0; !done; ++n) {
            std::string answer;
            board.exchange(std::string(1, commands[n % 3]), 10 * TIMEOUT_MS, &answer);
            answers.push_back(answer);
        }
    });
    std::mt19937 random(2026);
    for (int cycle = 0; cycle < 500; ++cycle) {
        usleep(std::uniform_int_distribution<int>(0, 10000)(random));
        gdb.send_raw("\x03");
        const std::string stop = gdb.reply();
        usleep(std::uniform_int_distribution<int>(0, 2000)(random));
        gdb.send_raw(korvasim::gdb::frame("c"));
        const char ack = gdb.next_byte();
        if (stop != "S02" || ack != '+') {
            ADD_FAILURE() << "cycle " << cycle << ": " << stop << " " << ack;
            break;
        }
    }
    done = true;
    host.join();
    EXPECT_EQ(board.fault(), "");
    for (size_t n = 0; n < answers.size(); ++n)
        EXPECT_EQ(answers[n], ":0?") << "command " << n;
}

struct FaultCase {
    const char* name;
    const char* program;
    const char* signal;      // the stop reply
    const char* message;     // in the board's fault after detach
};

class GdbFaultTest : public testing::TestWithParam<FaultCase> {};

TEST_P(GdbFaultTest, LandsInTheDebuggerThenEndsTheBoardOnDetach)
{
    DebuggedBoard debugged(true);
    start_program(debugged.board(), GetParam().program);
    Client gdb(debugged.port());
    EXPECT_EQ(gdb.ask("?"), "S05");  // held at reset
    EXPECT_EQ(gdb.ask("pf"), "00000000");
    const std::string told = gdb.ask("c");
    EXPECT_EQ(told[0], 'O');
    std::vector<uint8_t> text;
    ASSERT_TRUE(korvasim::gdb::from_hex(told.substr(1), &text));
    EXPECT_NE(std::string(text.begin(), text.end()).find(GetParam().message), std::string::npos);
    EXPECT_EQ(gdb.reply(), GetParam().signal);
    // The board waits in the debugger, not halted.
    EXPECT_FALSE(debugged.board().wait_halted(100));
    EXPECT_EQ(gdb.ask("D"), "OK");
    EXPECT_TRUE(debugged.board().wait_halted(TIMEOUT_MS));
    EXPECT_NE(debugged.board().fault().find(GetParam().message), std::string::npos)
        << debugged.board().fault();
}

INSTANTIATE_TEST_SUITE_P(
    GdbStub, GdbFaultTest,
    testing::Values(FaultCase{"BadAccessIsSigsegv", "bad_access", "S0b", "UC_ERR_READ_UNMAPPED"},
                    FaultCase{"UndefinedInstructionIsSigill", "access_widths", "S04", "UC_ERR_INSN_INVALID"}),
    CaseName());

} // namespace
