#include "station/serve/serial_pattern.h"

#include <re2/re2.h>

namespace korvastation {

SerialPattern::SerialPattern(const std::string& pattern)
{
    RE2::Options options;
    // POSIX's extended syntax, as the configuration documents it.
    options.set_posix_syntax(true);
    options.set_longest_match(true);
    options.set_max_mem(MEMORY_BUDGET);
    options.set_log_errors(false);
    compiled_ = std::make_unique<RE2>(pattern, options);
    if (!compiled_->ok())
        error_ = compiled_->error_code() == RE2::ErrorPatternTooLarge
                     ? "it would take more than " + std::to_string(MEMORY_BUDGET / 1024) + " KiB to match"
                     : compiled_->error();
}

SerialPattern::~SerialPattern() = default;

bool SerialPattern::matches(const std::string& serial) const
{
    return error_.empty() && RE2::FullMatch(serial, *compiled_);
}

} // namespace korvastation
