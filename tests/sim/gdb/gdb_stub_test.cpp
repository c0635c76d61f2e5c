// The debugger's stub against a board in this process, driven packet by
// packet over TCP: bad packets, registers and memory, a second debugger, a
// debugger that goes, watchpoints, kill.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "tests/sim/gdb/stub_client.h"
#include "tests/support/case_name.h"

namespace {

using namespace stub_test;


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

} // namespace
