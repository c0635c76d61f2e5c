// A booted board kept for many runs of the board's tests: each run starts
// from the state saved where the boot first waited for input, on the same
// engine, so that neither the boot nor the translation of the firmware's
// code is paid again. A run whose faults sit in a device the boot accessed
// boots afresh with them in place instead: the saved boot could not have
// seen them.
#ifndef KORVASIM_TEST_BENCH_H
#define KORVASIM_TEST_BENCH_H

#include <cstdint>
#include <memory>
#include <vector>

#include "sim/analysis/test_runner.h"
#include "sim/board/board.h"

namespace korvasim {

class TestBench {
public:
    explicit TestBench(std::vector<uint8_t> image);

    // What run_board_test_afresh(image, faults, ...) gives, the same.
    TestOutcome run(const FaultSet& faults, char command, bool verbose, int budget_ms);

    const std::vector<uint8_t>& image() const { return image_; }
    // How the runs so far started.
    uint64_t runs_from_saved_state() const { return from_saved_; }
    uint64_t fresh_boots() const { return fresh_; }

private:
    // A board paused after a boot without faults, and its saved state:
    // false if the image does not boot to a wait for input within budget_ms.
    bool ready(int budget_ms);
    // The board standing where its state was saved (ready() otherwise).
    bool at_saved_state(int budget_ms);
    bool boot_could_see(const FaultSet& faults) const;

    std::vector<uint8_t> image_;
    std::unique_ptr<Board> board_;
    std::shared_ptr<const Board::SavedState> saved_;
    TouchedDevices boot_touched_{};
    bool ran_since_saved_ = false;
    bool does_not_boot_ = false;
    uint64_t from_saved_ = 0, fresh_ = 0;
};

} // namespace korvasim

#endif
