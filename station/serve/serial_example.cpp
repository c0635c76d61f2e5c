#include "station/serve/serial_example.h"

#include <cctype>
#include <cstring>
#include <optional>

namespace korvastation {

namespace {

// The characters an example is made of, in the order they are tried: a
// digit class gives 1, 2, 3, ... as a person would write an example.
const char ALPHABET[] = "123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ0abcdefghijklmnopqrstuvwxyz-_./:#";
// A repetition of up to this many, unbounded or not, is written this often.
const int MOST_REPEATS = 8;

class ExampleWriter {
public:
    explicit ExampleWriter(const std::string& pattern) : p_(pattern) {}

    std::optional<std::string> write()
    {
        std::optional<std::string> out = alternatives();
        if (!out || at_ != p_.size())
            return std::nullopt;
        return out;
    }

private:
    // The first alternative is the example; the others are checked only
    // for their form.
    std::optional<std::string> alternatives()
    {
        std::optional<std::string> first = sequence();
        while (first && at_ < p_.size() && p_[at_] == '|') {
            ++at_;
            if (!sequence())
                return std::nullopt;
        }
        return first;
    }

    std::optional<std::string> sequence()
    {
        std::string out;
        while (at_ < p_.size() && p_[at_] != '|' && p_[at_] != ')') {
            const size_t start = at_;
            std::optional<std::string> one = atom();
            if (!one)
                return std::nullopt;
            std::optional<std::pair<int, int>> times = repeat();
            if (!times)
                return std::nullopt;
            // Each repetition of a class gives its next character: "KV123456".
            int n = times->first > 0 ? times->first : (times->second == 0 ? 0 : 1);
            for (int i = 0; i < n; ++i) {
                if (i > 0) {
                    at_ = start;
                    one = atom();
                    repeat();
                }
                out += *one;
            }
        }
        return out;
    }

    // {min, max}; max -1: unbounded.
    std::optional<std::pair<int, int>> repeat()
    {
        if (at_ >= p_.size())
            return std::make_pair(1, 1);
        switch (p_[at_]) {
        case '*': ++at_; return std::make_pair(0, -1);
        case '+': ++at_; return std::make_pair(1, -1);
        case '?': ++at_; return std::make_pair(0, 1);
        case '{': break;
        default: return std::make_pair(1, 1);
        }
        const size_t close = p_.find('}', at_);
        if (close == std::string::npos)
            return std::nullopt;
        const std::string inside = p_.substr(at_ + 1, close - at_ - 1);
        at_ = close + 1;
        int low = 0, high = 0;
        char comma = 0;
        const int read = sscanf(inside.c_str(), "%d%c%d", &low, &comma, &high);
        if (read == 1)
            high = low;
        else if (read == 2 && comma == ',')
            high = -1;
        else if (read != 3 || comma != ',')
            return std::nullopt;
        if (low > MOST_REPEATS * 4)
            return std::nullopt;
        return std::make_pair(low, high);
    }

    std::optional<std::string> atom()
    {
        const char c = p_[at_++];
        switch (c) {
        case '(': {
            std::optional<std::string> inner = alternatives();
            if (!inner || at_ >= p_.size() || p_[at_] != ')')
                return std::nullopt;
            ++at_;
            return inner;
        }
        case '[': return bracket();
        case '^':
        case '$': return std::string();
        case '.': return next_of([](char) { return true; });
        case '\\': return escaped();
        case '*':
        case '+':
        case '?':
        case '{':
        case ')': return std::nullopt;
        default: return std::string(1, c);
        }
    }

    std::optional<std::string> escaped()
    {
        if (at_ >= p_.size())
            return std::nullopt;
        const char c = p_[at_++];
        // The configuration's patterns are POSIX's: an escaped letter or
        // digit (Perl's \d, \w) is none of theirs.
        if (isalnum(static_cast<unsigned char>(c)))
            return std::nullopt;
        return std::string(1, c);
    }

    // A bracket expression: ranges, single characters and [:name:] classes.
    std::optional<std::string> bracket()
    {
        const bool negated = at_ < p_.size() && p_[at_] == '^';
        at_ += negated;
        bool members[256] = {};
        bool first = true;
        while (at_ < p_.size() && (first || p_[at_] != ']')) {
            first = false;
            if (p_.compare(at_, 2, "[:") == 0) {
                const size_t end = p_.find(":]", at_);
                if (end == std::string::npos || !named_class(p_.substr(at_ + 2, end - at_ - 2), members))
                    return std::nullopt;
                at_ = end + 2;
                continue;
            }
            const unsigned char low = static_cast<unsigned char>(p_[at_++]);
            unsigned char high = low;
            if (at_ + 1 < p_.size() && p_[at_] == '-' && p_[at_ + 1] != ']') {
                high = static_cast<unsigned char>(p_[at_ + 1]);
                at_ += 2;
            }
            for (unsigned c = low; c <= high; ++c)
                members[c] = true;
        }
        if (at_ >= p_.size())
            return std::nullopt;
        ++at_;
        return next_of([&](char x) { return members[static_cast<unsigned char>(x)] != negated; });
    }

    static bool named_class(const std::string& name, bool* members)
    {
        int (*test)(int) = nullptr;
        if (name == "digit")
            test = isdigit;
        else if (name == "alpha")
            test = isalpha;
        else if (name == "alnum")
            test = isalnum;
        else if (name == "upper")
            test = isupper;
        else if (name == "lower")
            test = islower;
        else if (name == "xdigit")
            test = isxdigit;
        if (!test)
            return false;
        for (int c = 0; c < 128; ++c)
            members[c] = members[c] || test(c);
        return true;
    }

    // The class's next character in ALPHABET's order, one after another.
    template <typename In> std::optional<std::string> next_of(In in)
    {
        std::string candidates;
        for (const char* c = ALPHABET; *c; ++c)
            if (in(*c))
                candidates += *c;
        if (candidates.empty())
            return std::nullopt;
        return std::string(1, candidates[turn_++ % candidates.size()]);
    }

    const std::string& p_;
    size_t at_ = 0;
    size_t turn_ = 0;
};

} // namespace

std::string example_of_pattern(const std::string& pattern)
{
    return ExampleWriter(pattern).write().value_or("");
}

} // namespace korvastation
