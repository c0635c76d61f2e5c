// The start-up from reset to the first prompt, seen in the trace of
// device register accesses that the simulator keeps.
#include <gtest/gtest.h>

#include "firmware/board_map.h"
#include "tests/firmware/monitor_session.h"

namespace {

using korvasim::TraceRecord;

struct Step {
    char kind;
    uint32_t address;
    uint32_t value;
    uint32_t wait;  // spin_delay iterations after the access
};

const uint32_t CTRL = SDRAM_CTRL_BASE;
const uint32_t IF = SDRAM_IF_BASE;
const uint32_t IF_CONTROL_RESET = 0xDEADBEEF;
const uint32_t CNFG0_RESET = 0x80901234;

// The board's bring-up, access by access.
std::vector<Step> expected_start_up()
{
    std::vector<Step> steps = {
        {'W', 0xC4000000, 0x80401003, 0},   {'W', 0xC4000004, 0x80801002, 0},
        {'W', 0xC4000008, 0x80402403, 0},   {'W', CTRL + 0x04, 0x72221212, 0},
        {'W', CTRL + 0x08, 0x5760E4A6, 0},  {'W', CTRL + 0x0C, 0, 0},
        {'R', CTRL + 0x0C, 0, 0},           {'W', CTRL + 0x10, 0x80000002, 0},
        {'R', CTRL + 0x10, 0x80000002, 0},  {'W', CTRL + 0x14, 0x80000002, 0},
        {'R', CTRL + 0x14, 0x80000002, 0},  {'W', CTRL + 0x48, 0, 0},
        {'W', CTRL, 3, 65536},              {'W', CTRL, 2, 65536},
        {'W', CTRL, 7, 65536},              {'W', CTRL, 8, 65536},
        {'W', CTRL, 4, 65536},              {'W', CTRL, 1, 65536},
        {'W', CTRL, 2, 65536},              {'W', CTRL, 6, 2048},
        {'W', CTRL, 6, 2048},               {'W', CTRL, 0, 65536},
        {'W', CTRL + 0x04, 0x72221232, 0},  {'R', IF + 0x04, IF_CONTROL_RESET, 0},
        {'W', IF, 0x01000003, 0},           {'W', IF + 0x04, 0x381, 65536},
        {'W', IF + 0x04, 1, 65536},         {'W', IF + 0x04, IF_CONTROL_RESET, 0},
        {'W', CTRL, 0xF, 65536},            {'W', CTRL + 0x48, 0x610, 65536},
        {'W', IF + 0x50, 4, 0},             {'W', IF + 0x54, 0, 0},
        {'W', IF + 0x58, 0, 0},             {'W', IF + 0x5C, 0, 0},
        {'W', IF + 0x60, 0, 0},             {'W', IF + 0x64, 4, 0},
        {'W', IF + 0x68, 0, 0},             {'W', IF + 0x74, 0xA, 0},
    };
    for (int i = 0; i < 6; ++i)
        steps.push_back({'W', IF + 0x78, 0x2D400, 4096});
    steps.push_back({'W', IF + 0x78, 0x2D000, 4096});
    for (int i = 0; i < 5; ++i)
        steps.push_back({'W', IF + 0x7C, 0x889C, 4096});
    steps.push_back({'W', IF + 0x7C, 0x809C, 4096});
    for (uint32_t g = 0; g < 4; ++g)
        for (uint32_t i = 0; i < 8; ++i)
            steps.push_back({'W', IF, 0x81000006 + 0x2000 * g + 0x100 * i, 4096});
    steps.push_back({'R', EXP_CNFG0, CNFG0_RESET, 0});
    steps.push_back({'W', EXP_CNFG0, CNFG0_RESET & ~EXP_CNFG0_MEM_MAP, 0});
    return steps;
}

class StartUp : public testing::Test {
protected:
    void boot(uint32_t cnfg0_reset)
    {
        korvasim::BoardConfig config;
        config.trace = [this](const TraceRecord& r) { trace_.push_back(r); };
        config.exp_cnfg0_reset = cnfg0_reset;
        config.sdram_if_control_reset = IF_CONTROL_RESET;
        monitor_ = std::make_unique<Monitor>(config);
        for (const TraceRecord& r : trace_) {
            if (r.address - UART_BASE < 0x1000)
                break;
            start_up_.push_back(r);
        }
    }

    std::vector<TraceRecord> trace_;
    std::vector<TraceRecord> start_up_;
    std::unique_ptr<Monitor> monitor_;
};

TEST_F(StartUp, RegisterAccessesFollowTheSequence)
{
    boot(CNFG0_RESET);
    const std::vector<Step> steps = expected_start_up();
    ASSERT_EQ(start_up_.size(), steps.size());
    EXPECT_EQ(steps.size(), 85u);
    for (size_t i = 0; i < steps.size(); ++i) {
        const TraceRecord& r = start_up_[i];
        SCOPED_TRACE("access " + std::to_string(i) + ": " + korvasim::format_trace(r));
        EXPECT_EQ(r.kind, steps[i].kind);
        EXPECT_EQ(r.address, steps[i].address);
        EXPECT_EQ(r.width, 4u);
        EXPECT_EQ(r.value, steps[i].value);
    }
}

TEST_F(StartUp, WaitsBetweenAccessesHaveTheirCounts)
{
    boot(CNFG0_RESET);
    const std::vector<Step> steps = expected_start_up();
    ASSERT_EQ(start_up_.size(), steps.size());
    // A wait of n is n decrements and n branches, plus a few instructions
    // to load the counter and reach the next access.
    for (size_t i = 0; i + 1 < steps.size(); ++i) {
        const uint64_t gap = start_up_[i + 1].instruction - start_up_[i].instruction;
        EXPECT_GE(gap, 2ull * steps[i].wait) << "after access " << i;
        EXPECT_LE(gap, 2ull * steps[i].wait + 8) << "after access " << i;
    }
}

TEST_F(StartUp, MapSwitchChangesOnlyItsBit)
{
    boot(0xFFFFFFFF);
    ASSERT_GE(start_up_.size(), 2u);
    EXPECT_EQ(start_up_.back().address, unsigned(EXP_CNFG0));
    EXPECT_EQ(start_up_.back().value, 0x7FFFFFFFu);
}

TEST_F(StartUp, RunsFromTheAliasUntilTheJumpAndSendsNothingBeforeThePrompt)
{
    boot(CNFG0_RESET);
    korvasim::Board& board = monitor_->board();
    // Nothing from the window, code or data, before the last indexed word.
    const uint64_t last_set_up = start_up_[start_up_.size() - 3].instruction;
    EXPECT_GT(board.first_window_fetch(), last_set_up);
    EXPECT_GE(board.first_window_data_access(), board.first_window_fetch());
    EXPECT_EQ(board.output(), "?");
    // The first UART access is the set-up's, after the map switch.
    ASSERT_GT(trace_.size(), start_up_.size());
    EXPECT_EQ(trace_[start_up_.size()].address, unsigned(UART_BASE + UART_IER));
}

TEST_F(StartUp, CoreEndsWithInstructionCacheOnAndTheRestOff)
{
    boot(CNFG0_RESET);
    EXPECT_EQ(monitor_->board().cp15_control() & 0x3FFF, 0x10F8u);
}

TEST(UartSetUp, SevenWritesInOrderAndNoRead)
{
    std::vector<TraceRecord> trace;
    korvasim::BoardConfig config;
    config.trace = [&](const TraceRecord& r) { trace.push_back(r); };
    Monitor monitor(config);
    std::vector<std::pair<uint32_t, uint32_t>> uart;
    for (const TraceRecord& r : trace)
        if (r.address - UART_BASE < 8 && uart.size() < 7) {
            EXPECT_EQ(r.kind, 'W');
            EXPECT_EQ(r.width, 1u);
            uart.emplace_back(r.address - UART_BASE, r.value);
        }
    const std::vector<std::pair<uint32_t, uint32_t>> expected = {
        {1, 0x00}, {3, 0x80}, {0, 0x07}, {1, 0x00}, {3, 0x03}, {2, 0x87}, {4, 0x03}};
    EXPECT_EQ(uart, expected);
    EXPECT_EQ(monitor.board().uart().divisor_low(), 7);
    EXPECT_EQ(monitor.board().uart().line_control(), 3);
    EXPECT_EQ(monitor.board().uart().modem_control(), 3);
}

} // namespace
