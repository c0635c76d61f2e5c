// Fault coverage: the three tests, quiet, on a board with each single fault
// of the catalogue, and what they made of it.
#ifndef KORVASIM_COVERAGE_H
#define KORVASIM_COVERAGE_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fault_catalogue.h"
#include "test_runner.h"

namespace korvasim {

enum class Verdict { CAUGHT, MISSED, HUNG };

struct CoverageRow {
    CatalogueFault fault;
    TestOutcome outcomes[3];  // SDRAM, FLASH, SRAM
    Verdict verdict() const;
};

std::vector<CoverageRow> run_coverage(const std::vector<uint8_t>& image,
                                      const std::vector<CatalogueFault>& faults, int budget_ms,
                                      unsigned threads);

void print_coverage_table(FILE* out, const std::vector<CoverageRow>& rows);
void print_coverage_csv(FILE* out, const std::vector<CoverageRow>& rows);
void print_coverage_json(FILE* out, const std::vector<CoverageRow>& rows);

} // namespace korvasim

#endif
