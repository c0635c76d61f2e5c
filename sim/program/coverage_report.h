// korvasim's analysis modes: the fault coverage report and the diagnosis of
// a failed board's log.
#ifndef KORVASIM_PROGRAM_COVERAGE_REPORT_H
#define KORVASIM_PROGRAM_COVERAGE_REPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "sim/analysis/test_runner.h"

namespace korvasim {

// The coverage report in format (table, csv, json, html); all adds the
// fault models. start is how each run starts (the same report either way).
// Returns the exit status.
int report_coverage(const std::vector<uint8_t>& image, const std::string& format, bool all,
                    BoardStart start = BoardStart::SAVED_STATE);

// The faults that explain the failed board in the log at log_path.
// Returns the exit status.
int report_diagnosis(const std::vector<uint8_t>& image, const std::string& log_path);

} // namespace korvasim

#endif
