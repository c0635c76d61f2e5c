// Console and log output of the test run.
#ifndef DUDEDOVED_OUTPUT_H
#define DUDEDOVED_OUTPUT_H

#include <cstdio>

// The log file; null while no log is open.
extern FILE* log_file;

// printf to standard output and, when a log is open, the same to the log.
// Only test announcements, verdicts and the board's echoed report go here.
void tee_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

void close_log();

#endif
