// Pairs of line faults of one memory: each pair simulated, since two faults
// can hide each other where each alone is caught.
#ifndef KORVASIM_PAIR_COVERAGE_H
#define KORVASIM_PAIR_COVERAGE_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sim/analysis/fault_catalogue.h"
#include "sim/analysis/test_runner.h"

namespace korvasim {

struct PairCoverage {
    std::string part;  // "SDRAM" or "SRAM"
    uint64_t pairs = 0;
    uint64_t caught = 0;
    uint64_t hung = 0;
    // Missed pairs by their classes ("address line stuck + address lines
    // shorted"), with one example of each.
    std::map<std::string, uint64_t> missed_by_class;
    std::map<std::string, std::string> example_by_class;
};

// The line faults of the catalogue (not the absent chip) for a memory.
std::vector<CatalogueFault> line_faults(const std::string& part);

// Every pair of line faults of the same memory that can coexist (not one
// line stuck both ways), on both memories; with include, only pairs of the
// faults it accepts. progress is told how many runs are done, from the
// worker threads.
std::vector<PairCoverage> run_pair_coverage(const std::vector<uint8_t>& image, const RunPlan& plan,
                                            const std::function<void(size_t done, size_t total)>& progress,
                                            const std::function<bool(const CatalogueFault&)>& include = nullptr);

} // namespace korvasim

#endif
