// A fixture's serial-number pattern: a POSIX extended regular expression
// that a serial number must match whole ("KV[0-9]{6}").
#ifndef KORVASTATION_SERIAL_PATTERN_H
#define KORVASTATION_SERIAL_PATTERN_H

#include <regex.h>
#include <string>

namespace korvastation {

class SerialPattern {
public:
    explicit SerialPattern(const std::string& pattern);
    ~SerialPattern();
    SerialPattern(const SerialPattern&) = delete;
    SerialPattern& operator=(const SerialPattern&) = delete;

    // Why the pattern is no regular expression; empty when it is one.
    const std::string& error() const { return error_; }
    bool matches(const std::string& serial) const;

private:
    regex_t compiled_;
    std::string error_;
};

} // namespace korvastation

#endif
