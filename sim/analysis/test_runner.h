// One board test run on a fresh simulated board: the way coverage and
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
};

// "Testing NAME..." of test t, as dudedoved logs it.
std::string announcement_of(int t);

// The monitor's command bytes for the three tests.
const char TEST_COMMANDS[BOARD_TEST_COUNT] = {COMMAND_SDRAM_TEST, COMMAND_FLASH_TEST, COMMAND_SRAM_TEST};

// Boots image with faults, runs the test of command (verbose when asked)
// and waits up to budget_ms for its answer.
TestOutcome run_board_test(const std::vector<uint8_t>& image, const FaultSet& faults, char command,
                           bool verbose, int budget_ms);

} // namespace korvasim

#endif
