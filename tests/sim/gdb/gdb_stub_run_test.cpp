// The debugger's stub while a board runs: stops and continues during a
// continuous run, and faults that land in the debugger.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "tests/sim/gdb/stub_client.h"
#include "tests/support/case_name.h"

namespace {

using namespace stub_test;

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
