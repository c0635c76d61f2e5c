// The debugger's commands on a session of the test's own: what each packet
// answers and does to the board, for a board that is off, running, or
// standing still, without a socket or a simulated board.
#include <gtest/gtest.h>

#include <map>

#include "sim/gdb/gdb_commands.h"
#include "sim/gdb/gdb_packets.h"
#include "tests/support/case_name.h"

namespace korvasim::gdb {
namespace {

using case_print::operator<<;

enum class Board { OFF, RUNNING, STANDING };

// A board of sixteen bytes of RAM at 0x1000 and registers n * 0x11111111.
class TestSession : public GdbSession {
public:
    explicit TestSession(Board board, StopCause cause = StopCause::BREAKPOINT) : board_(board), stop_(cause)
    {
        for (int n = 0; n <= DebugTarget::CPSR; ++n)
            registers_[n] = 0x11111111u * static_cast<uint32_t>(n);
        for (int i = 0; i < 16; ++i)
            ram_[i] = static_cast<uint8_t>(0xA0 + i);
    }

    std::optional<DebugStop> standing() override
    {
        return board_ == Board::STANDING ? std::optional<DebugStop>(stop_) : std::nullopt;
    }
    bool powered() override { return board_ != Board::OFF; }
    bool read_register(int n, uint32_t* value) override
    {
        *value = registers_[n];
        return board_ == Board::STANDING;
    }
    bool write_register(int n, uint32_t value) override
    {
        if (board_ != Board::STANDING)
            return false;
        registers_[n] = value;
        return true;
    }
    bool read_memory(uint32_t address, uint8_t* out, size_t length) override
    {
        if (board_ != Board::STANDING || address < 0x1000 || address + length > 0x1010)
            return false;
        std::copy(ram_ + (address - 0x1000), ram_ + (address - 0x1000) + length, out);
        return true;
    }
    bool write_memory(uint32_t address, const uint8_t* data, size_t length) override
    {
        if (board_ != Board::STANDING || address < 0x1000 || address + length > 0x1010)
            return false;
        std::copy(data, data + length, ram_ + (address - 0x1000));
        return true;
    }
    DebugPoints points() override { return points_; }
    void set_points(const DebugPoints& points) override { points_ = points; }
    void resume(ResumeMode mode) override { resumed_ = mode; }
    void interrupt() override { interrupted_ = true; }
    std::string status() override { return "a test board"; }

    Board board_;
    DebugStop stop_;
    uint32_t registers_[17];
    uint8_t ram_[16];
    DebugPoints points_;
    std::optional<ResumeMode> resumed_;
    bool interrupted_ = false;
};

struct CommandCase {
    const char* name;
    Board board;
    std::string packet;
    std::vector<std::string> replies;
    GdbAction action = GdbAction::NONE;
    std::optional<ResumeMode> resumed = std::nullopt;
    bool interrupted = false;
};

class GdbCommandTest : public testing::TestWithParam<CommandCase> {};

TEST_P(GdbCommandTest, RepliesAndActs)
{
    const CommandCase& c = GetParam();
    TestSession session(c.board);
    const GdbReply reply = run_command(session, c.packet);
    EXPECT_EQ(reply.packets, c.replies);
    EXPECT_EQ(reply.action, c.action);
    EXPECT_EQ(session.resumed_, c.resumed);
    EXPECT_EQ(session.interrupted_, c.interrupted);
}

const std::string RESET_REGISTERS = std::string(15 * 8, '0') + "00000000" + "000000d3";
const std::string MONITOR_STATUS = "O" + to_hex(std::string("a test board\n"));

INSTANTIATE_TEST_SUITE_P(
    GdbCommands, GdbCommandTest,
    testing::Values(
        CommandCase{"StopQueryOfAStandingBoard", Board::STANDING, "?", {"S05"}},
        CommandCase{"StopQueryOfABoardThatIsOff", Board::OFF, "?", {"S05"}},
        CommandCase{"StopQueryStopsARunningBoard", Board::RUNNING, "?", {}, GdbAction::NONE, std::nullopt, true},
        CommandCase{"RegistersOfABoardThatIsOffReadAsAtReset", Board::OFF, "g", {RESET_REGISTERS}},
        CommandCase{"RegistersOfARunningBoardReadAsAtReset", Board::RUNNING, "g", {RESET_REGISTERS}},
        CommandCase{"CpsrByGdbsNumber", Board::STANDING, "p19", {"11111110"}},
        CommandCase{"NoRegisterSixteen", Board::STANDING, "p10", {"E01"}},
        CommandCase{"RegisterWriteToARunningBoard", Board::RUNNING, "P0=12345678", {"E01"}},
        CommandCase{"MemoryOfAStandingBoard", Board::STANDING, "m1002,3", {"a2a3a4"}},
        CommandCase{"MemoryOfARunningBoard", Board::RUNNING, "m1000,4", {"E01"}},
        CommandCase{"MemoryWriteOfALength", Board::STANDING, "M1000,2:0102", {"OK"}},
        CommandCase{"ContinueWaitsForTheStop", Board::STANDING, "c", {}, GdbAction::NONE, ResumeMode::CONTINUE},
        CommandCase{"StepWaitsForTheStop", Board::STANDING, "s", {}, GdbAction::NONE, ResumeMode::STEP},
        CommandCase{"ResumeActionStep", Board::STANDING, "vCont;s:1", {}, GdbAction::NONE, ResumeMode::STEP},
        CommandCase{"ResumeActionStop", Board::RUNNING, "vCont;t", {}, GdbAction::NONE, std::nullopt, true},
        CommandCase{"ResumeActionUnknown", Board::STANDING, "vCont;x", {"E01"}},
        CommandCase{"Detach", Board::STANDING, "D", {"OK"}, GdbAction::DETACH},
        CommandCase{"Kill", Board::STANDING, "k", {}, GdbAction::KILL, ResumeMode::KILL},
        CommandCase{"KillWithReply", Board::RUNNING, "vKill;1", {"OK"}, GdbAction::KILL, ResumeMode::KILL},
        CommandCase{"NoAcksAfterTheReply", Board::OFF, "QStartNoAckMode", {"OK"}, GdbAction::STOP_ACKS},
        CommandCase{"MonitorStatus", Board::OFF, "qRcmd,737461747573", {MONITOR_STATUS, "OK"}},
        CommandCase{"MonitorUnknown", Board::OFF, "qRcmd,6162",
                    {"O" + to_hex(std::string("unknown monitor command 'ab'; 'monitor status' tells the "
                                              "board's state\n")),
                     "OK"}},
        CommandCase{"DescriptionStart", Board::OFF, "qXfer:features:read:target.xml:0,5", {"m<?xml"}},
        CommandCase{"DescriptionPastItsEnd", Board::OFF, "qXfer:features:read:target.xml:ffff,5", {"l"}},
        CommandCase{"DescriptionOfAnotherAnnex", Board::OFF, "qXfer:features:read:memory-map.xml:0,5", {"E00"}},
        CommandCase{"UnsupportedQuery", Board::OFF, "qTStatus", {""}},
        CommandCase{"EmptyPacket", Board::OFF, "", {""}}),
    CaseName());

TEST(GdbCommands, RegisterWritesReachAStandingBoard)
{
    TestSession session(Board::STANDING);
    EXPECT_EQ(run_command(session, "P19=600000d3").packets, std::vector<std::string>{"OK"});
    EXPECT_EQ(session.registers_[DebugTarget::CPSR], 0x600000d3u);
    std::string all;
    for (int n = 0; n < 17; ++n)
        all += "000000" + to_hex(std::string(1, static_cast<char>(n)));
    EXPECT_EQ(run_command(session, "G" + all).packets, std::vector<std::string>{"OK"});
    EXPECT_EQ(session.registers_[15], 0xfu);
    EXPECT_EQ(run_command(session, "M100e,2:beef").packets, std::vector<std::string>{"OK"});
    EXPECT_EQ(run_command(session, "m100d,3").packets, std::vector<std::string>{"adbeef"});
}

TEST(GdbCommands, PointsAreSetOnceAndRemovedByTheirOwnKind)
{
    TestSession session(Board::RUNNING);
    for (const char* packet : {"Z0,50000000,4", "Z0,50000000,4", "Z2,1000,4", "Z3,1000,4;X1,0", "Z4,2000,8"})
        EXPECT_EQ(run_command(session, packet).packets, std::vector<std::string>{"OK"}) << packet;
    EXPECT_EQ(session.points_.breakpoints, std::vector<uint32_t>{0x50000000});
    EXPECT_EQ(session.points_.watchpoints,
              (std::vector<Watchpoint>{{0x1000, 4, WatchKind::WRITE}, {0x1000, 4, WatchKind::READ},
                                       {0x2000, 8, WatchKind::ACCESS}}));
    run_command(session, "z3,1000,4");
    run_command(session, "z0,50000000,4");
    EXPECT_TRUE(session.points_.breakpoints.empty());
    EXPECT_EQ(session.points_.watchpoints,
              (std::vector<Watchpoint>{{0x1000, 4, WatchKind::WRITE}, {0x2000, 8, WatchKind::ACCESS}}));
    EXPECT_EQ(run_command(session, "Z2,fffffffe,4").packets, std::vector<std::string>{"E01"}) << "past 4 GB";
    EXPECT_EQ(run_command(session, "Z5,1000,4").packets, std::vector<std::string>{""}) << "no such kind";
}

TEST(GdbCommands, StopRepliesNameTheCauseAndTheWatchedAddress)
{
    DebugStop watch{StopCause::WATCHPOINT};
    watch.data_address = 0x52000010;
    watch.watch = WatchKind::READ;
    EXPECT_EQ(stop_reply(watch), "T05rwatch:52000010;");
    EXPECT_EQ(stop_reply(DebugStop{StopCause::INTERRUPT}), "S02");
    EXPECT_EQ(stop_reply(DebugStop{StopCause::BAD_INSTRUCTION}), "S04");
    EXPECT_EQ(stop_reply(DebugStop{StopCause::BAD_ACCESS}), "S0b");
    EXPECT_EQ(stop_reply(DebugStop{StopCause::STEP}), "S05");
}

} // namespace
} // namespace korvasim::gdb
