#include "output.h"

#include <cstdarg>

FILE* log_file = nullptr;

void tee_printf(const char* format, ...)
{
    va_list args;
    // A continuous run ends with CTRL-C, which may come at any moment: the
    // log is written and flushed first, so it holds whatever the console shows.
    if (log_file) {
        va_start(args, format);
        vfprintf(log_file, format, args);
        va_end(args);
        fflush(log_file);
    }
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
}

void close_log()
{
    if (log_file)
        fclose(log_file);
    log_file = nullptr;
}
