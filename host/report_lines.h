// The words of a run's report that other programs read back: the simulator's
// diagnosis parses logs by them, and the tests build logs with them.
#ifndef DUDEDOVED_REPORT_LINES_H
#define DUDEDOVED_REPORT_LINES_H

// The board's three tests, in run order; NO_BOARD_TEST where none is meant
// (between tests, before the first).
enum BoardTest { NO_BOARD_TEST = -1, TEST_SDRAM, TEST_FLASH, TEST_SRAM, BOARD_TEST_COUNT };

// A test's report starts with "Testing NAME...".
const char* const TEST_NAMES[BOARD_TEST_COUNT] = {"SDRAM", "FLASH", "SRAM"};
const char TEST_ANNOUNCEMENT[] = "Testing %s...";
const char REPORT_PASSED[] = "passed";
const char REPORT_FAILED[] = "failed";

#endif
