#include "station/serve/serial_pattern.h"

namespace korvastation {

SerialPattern::SerialPattern(const std::string& pattern)
{
    // Anchored, so that "KV[0-9]{6}" refuses "XKV1234567".
    const int failed = regcomp(&compiled_, ("^(" + pattern + ")$").c_str(), REG_EXTENDED | REG_NOSUB);
    if (failed) {
        char why[200];
        regerror(failed, &compiled_, why, sizeof why);
        error_ = why;
    }
}

SerialPattern::~SerialPattern()
{
    if (error_.empty())
        regfree(&compiled_);
}

bool SerialPattern::matches(const std::string& serial) const
{
    return error_.empty() && regexec(&compiled_, serial.c_str(), 0, nullptr, 0) == 0;
}

} // namespace korvastation
