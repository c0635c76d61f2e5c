// Console and log output of the test run.
#ifndef DUDEDOVED_OUTPUT_H
#define DUDEDOVED_OUTPUT_H

#include <cstdio>

// The log file; null while no log is open.
extern FILE* log_file;

// printf to standard output and, when a log is open, the same to the log.
// Only test announcements, verdicts and the board's echoed report go here.
// A log that cannot be written ends the program with status 1 and a message:
// the log is the production record, and losing it silently is not an option.
void tee_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// printf to standard output alone: progress and wake-up messages.
void console_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Ends the console's current line if something stands on it, so that a
// message on standard error starts on a line of its own.
void console_end_line();

// Opens path as the log; a log opened before is closed. With truncate false
// the file is created but its contents are kept (see reopen_log_truncated).
bool open_log(const char* path, bool truncate);
// Reopens the open log for writing from its start.
bool reopen_log_truncated();
const char* log_file_name();

void close_log();

#endif
