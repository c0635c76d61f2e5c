#include "sim/analysis/diagnosis.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "sim/analysis/parallel.h"
#include "sim/analysis/test_runner.h"
#include "sim/analysis/text_lines.h"

namespace korvasim {

namespace {

// A board's longest report has a few hundred lines: far more is no report,
// and is not held line by line.
const size_t MAX_REPORT_LINES = 65536;


// A log line fit for a one-line message.
std::string printable(const std::string& line)
{
    std::string out = line.substr(0, 60);
    for (char& c : out)
        if (c < 0x20 || c > 0x7E)
            c = '?';
    return out;
}

int test_of_announcement(const std::string& line)
{
    static const std::string announcements[] = {announcement_of(0), announcement_of(1), announcement_of(2)};
    for (int t = 0; t < BOARD_TEST_COUNT; ++t)
        if (line == announcements[t])
            return t;
    return NO_BOARD_TEST;
}

// Where two reports part: the line index, or -1 when they are the same.
long first_difference(const std::vector<std::string>& a, const std::vector<std::string>& b)
{
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i])
            return static_cast<long>(i);
    return a.size() == b.size() ? -1 : static_cast<long>(n);
}

struct Candidate {
    bool complete = false;   // every logged test answered
    size_t agreeing = 0;     // report lines that match, in log order
    int parted_test = -1;
    long parted_line = -1;
    std::string simulated_line;
};

// A report line " OFFSETkVALUE" (k: 'r' read, 'w' write).
bool parse_access(const std::string& line, char* kind, uint32_t* offset, uint32_t* value)
{
    const size_t at = line.find_first_of("rw");
    if (line.size() < 4 || line[0] != ' ' || at == std::string::npos)
        return false;
    char* end = nullptr;
    *offset = static_cast<uint32_t>(strtoul(line.c_str() + 1, &end, 16));
    if (end != line.c_str() + at)
        return false;
    *kind = line[at];
    *value = static_cast<uint32_t>(strtoul(line.c_str() + at + 1, &end, 16));
    return *end == '\0';
}

// Stuck cell bits that would explain the memory test's mismatches: each
// read just before a mismatch line ("*r...") that gave another value than
// the last one written there, bit by bit, as long as all are of one cell.
std::vector<CatalogueFault> cell_suspects(const LoggedTest& t)
{
    const std::string part = TEST_NAMES[t.test];
    std::vector<CatalogueFault> suspects;
    if (t.passed || (part != "SDRAM" && part != "SRAM"))
        return suspects;
    const char* prefix = part == "SDRAM" ? "sdram" : "sram";
    std::map<uint32_t, uint32_t> written;
    struct Read {
        size_t line;
        uint32_t offset, value, expected;
    };
    std::vector<Read> reads;
    uint32_t suspect_offset = 0;
    for (size_t i = 0; i < t.lines.size(); ++i) {
        char kind = 0;
        uint32_t offset = 0, value = 0;
        if (parse_access(t.lines[i], &kind, &offset, &value)) {
            if (kind == 'w')
                written[offset] = value;
            else if (written.count(offset))
                reads.push_back({i, offset, value, written[offset]});
            continue;
        }
        if (t.lines[i].compare(0, 2, "*r") != 0)
            continue;
        // The pattern test reads twice, with a write between.
        for (const Read& r : reads) {
            if (i - r.line > 3 || r.value == r.expected)
                continue;
            // A stuck cell changes the reads of that one cell: mismatches at
            // two cells are a bus fault's, which no single cell explains.
            if (!suspects.empty() && r.offset != suspect_offset)
                return {};
            suspect_offset = r.offset;
            for (unsigned bit = 0; bit < 32; ++bit) {
                if (!(((r.value ^ r.expected) >> bit) & 1))
                    continue;
                const int level = (r.value >> bit) & 1;
                char spec[64], name[96];
                snprintf(spec, sizeof spec, "%s.cell:0x%x.%u=%d", prefix, r.offset, bit, level);
                snprintf(name, sizeof name, "%s cell 0x%x bit %u stuck at %d", part.c_str(), r.offset, bit, level);
                const bool known = std::any_of(suspects.begin(), suspects.end(),
                                               [&](const CatalogueFault& f) { return f.spec == spec; });
                if (!known)
                    suspects.push_back({spec, part, "cell bit stuck", name});
            }
        }
        reads.clear();
    }
    return suspects;
}

} // namespace

Result parse_verbose_log(const std::string& text, std::vector<LoggedTest>* tests)
{
    tests->clear();
    TextLineReader reader(text);
    for (std::string line; reader.next(&line);) {
        const int test = test_of_announcement(line);
        if (test < 0) {
            if (line.rfind("Testing ", 0) == 0)
                return Result::failure("line " + std::to_string(reader.number()) +
                                       " is not a verbose test announcement: '" + printable(line) +
                                       "' (was the log written with -v?)");
            if (tests->empty() && !line.empty())
                return Result::failure("line " + std::to_string(reader.number()) +
                                       " is not part of a dudedoved log: '" + printable(line) + "'");
            continue;
        }
        // A test seen before: a continuous run's next pass begins.
        for (const LoggedTest& seen : *tests)
            if (seen.test == test)
                return Result::ok();
        LoggedTest logged{test, {}, false};
        bool ended = false;
        while (!ended && reader.next(&line)) {
            ended = line == REPORT_PASSED || line == REPORT_FAILED;
            if (!ended && test_of_announcement(line) >= 0)
                break;
            if (!ended)
                logged.lines.push_back(line);
            if (logged.lines.size() > MAX_REPORT_LINES)
                return Result::failure(std::string("the ") + TEST_NAMES[test] + " report has more than " +
                                       std::to_string(MAX_REPORT_LINES) + " lines: it is no board's report");
        }
        if (!ended)
            return Result::failure(std::string("the ") + TEST_NAMES[test] +
                                   " report is cut off before its verdict");
        logged.passed = line == REPORT_PASSED;
        tests->push_back(std::move(logged));
    }
    if (tests->empty())
        return Result::failure("no verbose test report found (expected lines such as 'Testing SRAM...')");
    return Result::ok();
}

namespace {

// A single fault lies in a part whose test failed; cell faults are too many
// to try all: the mismatches name the cells.
std::vector<CatalogueFault> suspects_of(const std::vector<LoggedTest>& tests)
{
    std::vector<CatalogueFault> suspects;
    for (const CatalogueFault& f : fault_catalogue())
        for (const LoggedTest& t : tests)
            if (!t.passed && f.part == TEST_NAMES[t.test])
                suspects.push_back(f);
    for (const LoggedTest& t : tests)
        for (CatalogueFault& f : cell_suspects(t))
            suspects.push_back(std::move(f));
    return suspects;
}

// How far the suspect's simulated reports agree with the logged ones.
Candidate try_suspect(const std::vector<uint8_t>& image, const CatalogueFault& suspect,
                      const std::vector<LoggedTest>& tests, const std::vector<TestOutcome>& sound)
{
    const FaultSet set = catalogue_faults(suspect.spec);
    Candidate c;
    c.complete = true;
    for (size_t k = 0; k < tests.size(); ++k) {
        const LoggedTest& t = tests[k];
        const TestOutcome o = suspect.part == TEST_NAMES[t.test]
                                  ? run_board_test(image, set, TEST_COMMANDS[t.test], true, hang_budget_ms(sound))
                                  : sound[k];
        const std::vector<std::string> simulated = o.answered ? text_lines(o.report) : std::vector<std::string>{};
        const long parted = o.answered ? first_difference(t.lines, simulated) : 0;
        if (o.answered && parted < 0 && (o.code == 0) == t.passed) {
            c.agreeing += t.lines.size();
            continue;
        }
        c.complete = false;
        c.parted_test = t.test;
        c.parted_line = parted < 0 ? static_cast<long>(t.lines.size()) : parted;
        c.agreeing += static_cast<size_t>(c.parted_line);
        c.simulated_line = !o.answered ? "(no answer)"
                           : static_cast<size_t>(c.parted_line) < simulated.size()
                               ? "'" + simulated[c.parted_line] + "'"
                               : "(end of report)";
        break;
    }
    return c;
}

// Where the closest candidate first parted from the log.
std::string first_difference_of(const Candidate& c, const std::vector<LoggedTest>& tests)
{
    const LoggedTest* logged = nullptr;
    for (const LoggedTest& t : tests)
        if (t.test == c.parted_test)
            logged = &t;
    const std::string log_line = static_cast<size_t>(c.parted_line) < logged->lines.size()
                                     ? "'" + logged->lines[c.parted_line] + "'"
                                     : "(end of report)";
    return std::string(TEST_NAMES[c.parted_test]) + " report line " + std::to_string(c.parted_line + 1) +
           ": the log has " + log_line + ", the simulation " + c.simulated_line;
}

// A flash query field's fault is tried with one wrong value, 0. A log whose
// field reads another value is nearer that field read as the log's value:
// the hint names that, and where it still parts from the log, so that it
// never points at a value the log does not show.
void name_field_as_logged(const std::vector<uint8_t>& image, const CatalogueFault& suspect,
                          const std::vector<LoggedTest>& tests, const std::vector<TestOutcome>& sound,
                          Candidate* best, std::string* name)
{
    const size_t equals = suspect.spec.rfind('=');
    const char field = equals > 0 && equals != std::string::npos ? suspect.spec[equals - 1] : 0;
    const LoggedTest* logged = nullptr;
    for (const LoggedTest& t : tests)
        if (t.test == best->parted_test)
            logged = &t;
    if (!field || !logged || static_cast<size_t>(best->parted_line) >= logged->lines.size())
        return;
    const std::string& line = logged->lines[best->parted_line];
    if (line.size() < 2 || line[0] != field || line.find_first_not_of("0123456789", 1) != std::string::npos ||
        line.size() > 6)
        return;
    CatalogueFault as_logged = suspect;
    as_logged.spec = suspect.spec.substr(0, equals + 1) + line.substr(1);
    const Candidate nearer = try_suspect(image, as_logged, tests, sound);
    if (nearer.agreeing <= best->agreeing)
        return;
    *best = nearer;
    *name = suspect.name.substr(0, suspect.name.rfind(' ') + 1) + line.substr(1);
}

} // namespace

Diagnosis diagnose(const std::vector<uint8_t>& image, const std::vector<LoggedTest>& tests,
                   unsigned threads)
{
    const std::vector<CatalogueFault> suspects = suspects_of(tests);
    // A fault of one part changes only that part's test: the others run as
    // on a sound board, once for all suspects.
    std::vector<TestOutcome> sound(tests.size());
    parallel_for(tests.size(), threads, [&](size_t k) {
        sound[k] = run_board_test(image, FaultSet{}, TEST_COMMANDS[tests[k].test], true, SOUND_BUDGET_MS);
    });
    std::vector<Candidate> candidates(suspects.size());
    parallel_for(suspects.size(), threads,
                 [&](size_t i) { candidates[i] = try_suspect(image, suspects[i], tests, sound); });

    Diagnosis d;
    for (size_t i = 0; i < suspects.size(); ++i)
        if (candidates[i].complete)
            d.matches.push_back(suspects[i]);
    if (!d.matches.empty() || suspects.empty())
        return d;
    const size_t best = static_cast<size_t>(
        std::max_element(candidates.begin(), candidates.end(),
                         [](const Candidate& a, const Candidate& b) { return a.agreeing < b.agreeing; }) -
        candidates.begin());
    d.closest = suspects[best].name;
    Candidate closest = candidates[best];
    if (suspects[best].fault_class == "query field wrong")
        name_field_as_logged(image, suspects[best], tests, sound, &closest, &d.closest);
    d.first_difference = closest.complete ? "" : first_difference_of(closest, tests);
    return d;
}

} // namespace korvasim
