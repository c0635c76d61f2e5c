// A fixture's serial-number pattern: a POSIX extended regular expression
// that a serial number must match whole ("KV[0-9]{6}"). Compiled once, by
// RE2, whose matching takes time in proportion to the serial number and
// memory within a budget: a pattern that would take more (nested counted
// repetitions) is refused when the configuration is read.
#ifndef KORVASTATION_SERIAL_PATTERN_H
#define KORVASTATION_SERIAL_PATTERN_H

#include <memory>
#include <string>

namespace re2 {
class RE2;
}

namespace korvastation {

class SerialPattern {
public:
    explicit SerialPattern(const std::string& pattern);
    ~SerialPattern();
    SerialPattern(const SerialPattern&) = delete;
    SerialPattern& operator=(const SerialPattern&) = delete;

    // Why the pattern is refused; empty when it is taken.
    const std::string& error() const { return error_; }
    bool matches(const std::string& serial) const;

    // The memory a pattern may take once compiled.
    static const long MEMORY_BUDGET = 1 << 20;

private:
    std::unique_ptr<re2::RE2> compiled_;
    std::string error_;
};

} // namespace korvastation

#endif
