// One board test run on a simulated board with faults: the way coverage and
// diagnosis ask what the monitor reports for a given fault.
#ifndef KORVASIM_TEST_RUNNER_H
#define KORVASIM_TEST_RUNNER_H

#include <cstdint>
#include <string>
#include <vector>

#include "sim/board/faults.h"
#include "firmware/monitor_protocol.h"
#include "host/report_lines.h"

namespace korvasim {

struct TestOutcome {
    bool answered = false;  // false: no answer within the budget (a hang)
    int code = -1;          // the result digit, when answered
    std::string report;     // the verbose report before ':'
    double board_ms = 0;    // the core's own time from the command to its answer
};

// "Testing NAME..." of test t, as dudedoved logs it.
std::string announcement_of(int t);

// The monitor's command bytes for the three tests.
const char TEST_COMMANDS[BOARD_TEST_COUNT] = {COMMAND_SDRAM_TEST, COMMAND_FLASH_TEST, COMMAND_SRAM_TEST};

// How the runs of a test start.
enum class BoardStart {
    // From the saved state of a board that booted this image, on the
    // calling thread's engine, wherever the faults could not have changed
    // the boot (see TestBench).
    SAVED_STATE,
    // A new board for every run, booted with the faults in place: what the
    // saved state is checked against.
    FRESH_BOOT,
};

// How a batch of runs is made: the time each may take without an answer
// (the core's own), the threads that share them, how each starts.
struct RunPlan {
    int budget_ms;
    unsigned threads;
    BoardStart start = BoardStart::SAVED_STATE;
};

// What the monitor reports for a board with faults: the test of command
// (verbose when asked), waiting up to budget_ms for the boot and for each
// answer.
TestOutcome run_board_test(const std::vector<uint8_t>& image, const FaultSet& faults, char command,
                           bool verbose, int budget_ms, BoardStart start = BoardStart::SAVED_STATE);
// The same on a new board, booted with faults.
TestOutcome run_board_test_afresh(const std::vector<uint8_t>& image, const FaultSet& faults, char command,
                                  bool verbose, int budget_ms);
// The outcome of a test whose answer came (answered) or did not.
TestOutcome outcome_of(bool answered, const std::string& answer);

// What a test may take on a sound board, in the core's own time: a
// thorough test may take long. The runs with faults get a budget from what
// the tests took (hang_budget_ms).
const int SOUND_BUDGET_MS = 10000;

// How long a run may go without an answer before it is taken to hang, in
// the core's own time: many times what the tests take on a sound board (a
// fault may well lengthen a test, though not by as much), and never less
// than a floor far above any test's translation and start.
int hang_budget_ms(const std::vector<TestOutcome>& sound);

} // namespace korvasim

#endif
