// A board saved where its boot first waits for input and put back there:
// the memories by the pages a run wrote, the core with its translated code
// (dropped where a run changed the bytes it came from), and a board whose
// memory map changed refusing the state.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/analysis/fault_catalogue.h"
#include "sim/board/board.h"
#include "sim/board/memory.h"
#include "tests/sim/program_runner.h"
#include "tests/support/case_name.h"

namespace korvasim {
namespace {

struct MemoryCase {
    const char* name;
    unsigned bus_bytes;
    // Writes before the save and after it: offset and value, one bus word.
    std::vector<std::pair<uint32_t, uint32_t>> before, after;
    bool lost_after;  // the cells lost after the save (refresh stopped)
};

class MemoryStateTest : public testing::TestWithParam<MemoryCase> {};

TEST_P(MemoryStateTest, PutBackAsSaved)
{
    const MemoryCase& c = GetParam();
    const uint32_t size = 1 << 20;
    Memory memory(size, c.bus_bytes, {});
    for (const auto& [offset, value] : c.before)
        memory.write(offset, c.bus_bytes, value);
    const std::vector<uint8_t> saved_cells(memory.cells(), memory.cells() + size);
    const Memory::State state = memory.save();
    for (const auto& [offset, value] : c.after)
        memory.write(offset, c.bus_bytes, value);
    if (c.lost_after)
        memory.lose_contents();
    memory.restore(state);
    EXPECT_EQ(memcmp(memory.cells(), saved_cells.data(), size), 0);
    // And again, from what the first restore left.
    for (const auto& [offset, value] : c.after)
        memory.write(offset, c.bus_bytes, value ^ 0xFFFFFFFF);
    memory.restore(state);
    EXPECT_EQ(memcmp(memory.cells(), saved_cells.data(), size), 0);
}

INSTANTIATE_TEST_SUITE_P(
    SavedState, MemoryStateTest,
    testing::Values(
        MemoryCase{"NewPagesBackToZero", 1, {}, {{0x0, 0x5A}, {0x1FFF, 0xA5}, {0xFFFFF, 0x11}}, false},
        MemoryCase{"SavedPagesBackToTheirBytes", 1, {{0x10, 0x77}, {0x5000, 0x33}}, {{0x10, 0x01}, {0x5001, 0x02}}, false},
        MemoryCase{"WordBus", 4, {{0x2000, 0x12345678}}, {{0x2000, 0x9ABCDEF0}, {0x80000, 0xFFFFFFFF}}, false},
        MemoryCase{"LostAfterTheSave", 4, {{0x4, 0xCAFEF00D}, {0xF0000, 0x1}}, {{0x8, 0x2}}, true},
        MemoryCase{"NothingWritten", 4, {}, {}, false}),
    CaseName());

BoardConfig pausing()
{
    BoardConfig config;
    config.timed_line = false;
    config.pause_when_waiting = true;
    return config;
}

const int BUDGET_MS = 5000;

// What the board answers to command: its result digit, or '-' for none.
char digit(Board& board, char command)
{
    std::string answer;
    if (!board.exchange(std::string(1, command), BUDGET_MS, &answer) || answer.size() < 3)
        return '-';
    return answer[answer.size() - 2];
}

struct RunCase {
    const char* name;
    // Commands run one after another on the board, and each one's digit
    // once the saved state is put back before it (then with '*').
    std::string commands, digits;
};

class SavedBoardTest : public testing::TestWithParam<RunCase> {};

TEST_P(SavedBoardTest, EachRunAsFromTheBoot)
{
    Board board(pausing());
    ASSERT_TRUE(board.boot(image_with_parameter("saved_state", 0), BUDGET_MS));
    const std::string booted = board.output();
    const auto saved = board.save_state();
    const uint64_t ticks = board.ticks();
    std::string digits;
    for (char command : GetParam().commands) {
        if (command == '*') {
            ASSERT_TRUE(board.restore_state(*saved));
            EXPECT_EQ(board.output(), booted);
            EXPECT_EQ(board.ticks(), ticks);
            continue;
        }
        digits += digit(board, command);
    }
    EXPECT_EQ(digits, GetParam().digits);
}

INSTANTIATE_TEST_SUITE_P(
    SavedState, SavedBoardTest,
    testing::Values(
        // The rewritten slot is translated in the run that rewrote it: that
        // translation must not outlive the state put back.
        RunCase{"CodeARunRewroteIsPutBack", "c*a", "10"},
        RunCase{"CodeRewrittenStaysWithoutARestore", "ca", "11"},
        RunCase{"SramARunWroteIsPutBack", "w*r", "00"},
        RunCase{"SramWrittenStaysWithoutARestore", "wr", "07"},
        RunCase{"ManyRunsFromOneState", "c*w*r*c*a*r", "100100"}),
    CaseName());

TEST(SavedState, ABoardWhoseMemoryMapChangedRefusesTheState)
{
    Board board(pausing());
    ASSERT_TRUE(board.boot(image_with_parameter("saved_state", 0), BUDGET_MS));
    const auto saved = board.save_state();
    EXPECT_EQ(digit(board, 'c'), '1');
    EXPECT_EQ(digit(board, 'm'), '0');
    EXPECT_FALSE(board.restore_state(*saved));
    // Refused whole: the board goes on as it was.
    EXPECT_EQ(digit(board, 'a'), '1');
}

TEST(SavedState, AHaltedBoardRefusesTheState)
{
    Board board(pausing());
    ASSERT_TRUE(board.boot(test_program("echo"), BUDGET_MS));
    const auto saved = board.save_state();
    board.power_off();
    EXPECT_FALSE(board.restore_state(*saved));
}

// The devices a boot accessed decide which faults could have changed it.
TEST(SavedState, TheDevicesTheBootTouchedAreKnown)
{
    for (uint32_t parameter : {0u, 1u}) {
        Board board(pausing());
        ASSERT_TRUE(board.boot(image_with_parameter("saved_state", parameter), BUDGET_MS));
        const TouchedDevices touched = board.touched_devices();
        EXPECT_EQ(touched.sram, parameter == 1) << parameter;
        EXPECT_FALSE(touched.sdram);
        EXPECT_FALSE(touched.flash);
    }
}

// Every fault of the catalogue is seen as a fault of its own part alone:
// a saved boot is never used for a fault it could have seen.
TEST(SavedState, EveryCatalogueFaultIsSeenInItsPart)
{
    for (const CatalogueFault& f : fault_catalogue()) {
        const FaultSet set = catalogue_faults(f.spec);
        EXPECT_EQ(set.sram.any(), f.part == "SRAM") << f.spec;
        EXPECT_EQ(set.sdram.any(), f.part == "SDRAM") << f.spec;
        EXPECT_EQ(set.flash.any(), f.part == "FLASH") << f.spec;
    }
}

} // namespace
} // namespace korvasim
