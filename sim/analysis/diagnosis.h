// Diagnosis of a failed board from the verbose log that dudedoved wrote:
// the single faults of the catalogue whose simulated report matches it
// line for line.
#ifndef KORVASIM_DIAGNOSIS_H
#define KORVASIM_DIAGNOSIS_H

#include <cstdint>
#include <string>
#include <vector>

#include "host/report_lines.h"
#include "sim/analysis/fault_catalogue.h"
#include "sim/support/result.h"

namespace korvasim {

// One test's section of a verbose log.
struct LoggedTest {
    int test;                         // a BoardTest
    std::vector<std::string> lines;   // the board's report, line ends removed
    bool passed;
};

// Reads the first pass of a verbose log (CR LF or LF line ends). Fails with
// a one-line reason for a log that is garbled, cut short or quiet.
Result parse_verbose_log(const std::string& text, std::vector<LoggedTest>* tests);

struct Diagnosis {
    std::vector<CatalogueFault> matches;
    // When nothing matches: the candidate that agrees longest with the log
    // and where they part ("" when it agrees with the whole log, as a flash
    // field read as a value the catalogue does not try).
    std::string closest;
    std::string first_difference;
};

Diagnosis diagnose(const std::vector<uint8_t>& image, const std::vector<LoggedTest>& tests,
                   unsigned threads);

} // namespace korvasim

#endif
