#include "host/output.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

FILE* log_file = nullptr;

namespace {

std::string log_path;
// Whether the console's last character left a line open.
bool console_mid_line = false;

// Formats once to standard output, noting whether the line was left open.
void console_vprintf(const char* format, va_list args)
{
    va_list measure;
    va_copy(measure, args);
    const int n = vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (n <= 0)
        return;
    std::string text(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(&text[0], text.size(), format, args);
    // fwrite, not fputs: an echoed board byte may be a NUL.
    fwrite(text.data(), 1, static_cast<size_t>(n), stdout);
    console_mid_line = text[n - 1] != '\n' && text[n - 1] != '\r';
}

[[noreturn]] void log_failed(int error)
{
    console_end_line();
    fprintf(stderr, "Could not write logfile '%s' (%s).\n", log_path.c_str(), strerror(error));
    exit(1);
}

} // namespace

void tee_printf(const char* format, ...)
{
    va_list args;
    // A continuous run ends with CTRL-C, which may come at any moment: the
    // log is written and flushed first, so it holds whatever the console shows.
    if (log_file) {
        va_start(args, format);
        const int written = vfprintf(log_file, format, args);
        va_end(args);
        if (written < 0 || fflush(log_file) != 0)
            log_failed(errno);
    }
    va_start(args, format);
    console_vprintf(format, args);
    va_end(args);
}

void console_printf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    console_vprintf(format, args);
    va_end(args);
}

void console_end_line()
{
    if (console_mid_line)
        putchar('\n');
    console_mid_line = false;
}

bool open_log(const char* path, bool truncate)
{
    close_log();
    log_file = fopen(path, truncate ? "wt" : "at");
    if (log_file)
        log_path = path;
    return log_file != nullptr;
}

bool reopen_log_truncated()
{
    log_file = freopen(log_path.c_str(), "wt", log_file);
    return log_file != nullptr;
}

const char* log_file_name()
{
    return log_path.c_str();
}

void close_log()
{
    if (log_file)
        fclose(log_file);
    log_file = nullptr;
}
