#include "sim/board/fault_schedule.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace korvasim {

namespace {

bool parse_whole(const std::string& text, unsigned long long max, unsigned long long* value)
{
    char* end = nullptr;
    errno = 0;
    *value = strtoull(text.c_str(), &end, 10);
    // Beyond 64 bits strtoull gives its largest value: refused, not clamped.
    return !text.empty() && isdigit(static_cast<unsigned char>(text[0])) && *end == '\0' && errno != ERANGE &&
           *value <= max;
}

bool parse_probability(const std::string& text, double* value)
{
    char* end = nullptr;
    *value = strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && std::isfinite(*value) && *value > 0 && *value < 1;
}

} // namespace

const char* fault_schedule_forms()
{
    return "SPEC, SPEC,first=K or SPEC,p=P[,seed=S]";
}

Result FaultSchedule::add(const std::string& option)
{
    const size_t comma = option.find(',');
    Sometimes entry;
    entry.spec = option.substr(0, comma);
    bool seeded = false;
    for (size_t at = comma; at != std::string::npos;) {
        const size_t next = option.find(',', at + 1);
        const std::string part = option.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
        const size_t equals = part.find('=');
        const std::string name = part.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : part.substr(equals + 1);
        unsigned long long number = 0;
        bool good = false;
        if (name == "first" && entry.first == 0 && entry.probability == 0) {
            good = parse_whole(value, 1000000000, &number) && number > 0;
            entry.first = static_cast<unsigned long>(number);
        } else if (name == "p" && entry.first == 0 && entry.probability == 0) {
            good = parse_probability(value, &entry.probability);
        } else if (name == "seed" && !seeded) {
            good = parse_whole(value, UINT64_MAX, &number);
            entry.random.seed(number);
            seeded = true;
        }
        if (!good)
            return Result::failure("bad fault '" + option + "': accepted forms are " + fault_schedule_forms() +
                                   " (K a whole number from 1, P between 0 and 1)");
        at = next;
    }
    if (seeded && entry.probability == 0)
        return Result::failure("bad fault '" + option + "': seed= goes with p=");
    // A power-up may have every fault at once: they must agree.
    FaultSet all = always_;
    for (const Sometimes& s : sometimes_)
        add_fault(s.spec, all);
    if (const Result added = add_fault(entry.spec, all); !added)
        return added;
    if (comma == std::string::npos)
        add_fault(entry.spec, always_);
    else
        sometimes_.push_back(std::move(entry));
    return Result::ok();
}

FaultSet FaultSchedule::next_power_up()
{
    ++power_ups_;
    FaultSet faults = always_;
    for (Sometimes& s : sometimes_) {
        // 53 random bits as a fraction: the same draws on every platform.
        const bool present = s.first ? power_ups_ <= s.first
                                     : static_cast<double>(s.random() >> 11) * 0x1.0p-53 < s.probability;
        if (present)
            add_fault(s.spec, faults);
    }
    return faults;
}

} // namespace korvasim
