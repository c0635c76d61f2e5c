#include "sim/analysis/test_bench.h"

namespace korvasim {

TestBench::TestBench(std::vector<uint8_t> image) : image_(std::move(image)) {}

bool TestBench::ready(int budget_ms)
{
    if (board_)
        return true;
    if (does_not_boot_)
        return false;
    BoardConfig config;
    config.timed_line = false;
    config.pause_when_waiting = true;
    auto board = std::make_unique<Board>(config);
    if (!board->boot(image_, budget_ms)) {
        // Every run boots afresh then, and tells what that boot does.
        does_not_boot_ = true;
        return false;
    }
    boot_touched_ = board->touched_devices();
    saved_ = board->save_state();
    ran_since_saved_ = false;
    board_ = std::move(board);
    return true;
}

bool TestBench::at_saved_state(int budget_ms)
{
    // A board that cannot take its saved state back is made again.
    if (board_ && ran_since_saved_ && !board_->restore_state(*saved_))
        board_.reset();
    return ready(budget_ms);
}

bool TestBench::boot_could_see(const FaultSet& faults) const
{
    return (boot_touched_.sram && faults.sram.any()) || (boot_touched_.sdram && faults.sdram.any()) ||
           (boot_touched_.flash && faults.flash.any());
}

TestOutcome TestBench::run(const FaultSet& faults, char command, bool verbose, int budget_ms)
{
    if (!at_saved_state(budget_ms) || boot_could_see(faults)) {
        ++fresh_;
        return run_board_test_afresh(image_, faults, command, verbose, budget_ms);
    }
    ++from_saved_;
    ran_since_saved_ = true;
    board_->set_faults(faults);
    std::string answer;
    const bool answered = (!verbose || board_->exchange(std::string(1, COMMAND_VERBOSE), budget_ms, &answer)) &&
                          board_->exchange(std::string(1, command), budget_ms, &answer);
    // A board that hung or halted does not go on from its pause.
    TestOutcome outcome = outcome_of(answered, answer);
    outcome.board_ms = board_->last_run_ms();
    if (!answered)
        board_.reset();
    return outcome;
}

} // namespace korvasim
