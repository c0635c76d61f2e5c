// Coupling faults between two cells of a memory, too many to run or to work
// out one by one: a random sample is simulated and the coverage given with
// its 95% confidence interval.
#ifndef KORVASIM_COUPLING_COVERAGE_H
#define KORVASIM_COUPLING_COVERAGE_H

#include <cstdint>
#include <string>
#include <vector>

#include "sim/analysis/test_runner.h"
#include "sim/board/faults.h"

namespace korvasim {

struct SampledCoverage {
    bool sdram;
    double population;  // coupling faults in the model
    size_t sampled;
    size_t caught;
    double low, high;   // 95% interval of the caught fraction (Wilson)
};

// Aggressor and victim cells, bits and values drawn uniformly, the same for
// the same seed. "sram.couple:A.B=V>C.D=W" specs.
std::vector<std::string> coupling_sample(bool sdram, size_t count, uint32_t seed);

SampledCoverage sample_coupling_coverage(const std::vector<uint8_t>& image, bool sdram, size_t count,
                                         uint32_t seed, const RunPlan& plan);

// The Wilson score interval at 95% for caught of n.
void wilson_interval(size_t caught, size_t n, double* low, double* high);

} // namespace korvasim

#endif
