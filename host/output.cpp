#include "output.h"

#include <cstdarg>

FILE* log_file = nullptr;

void tee_printf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    if (log_file) {
        va_start(args, format);
        vfprintf(log_file, format, args);
        va_end(args);
        // A continuous run ends with CTRL-C: keep every line the console showed.
        fflush(log_file);
    }
}

void close_log()
{
    if (log_file)
        fclose(log_file);
    log_file = nullptr;
}
