// The words of a run's report that other programs read back: the simulator's
// diagnosis parses logs by them, and the tests build logs with them.
#ifndef DUDEDOVED_REPORT_LINES_H
#define DUDEDOVED_REPORT_LINES_H

// The tests in run order; a test's report starts with "Testing NAME...".
const char* const TEST_NAMES[] = {"SDRAM", "FLASH", "SRAM"};
const char TEST_ANNOUNCEMENT[] = "Testing %s...";
const char REPORT_PASSED[] = "passed";
const char REPORT_FAILED[] = "failed";

#endif
