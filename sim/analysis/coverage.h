// Fault coverage: the three tests, quiet, on a board with each single fault
// of the catalogue, and what they made of it.
#ifndef KORVASIM_COVERAGE_H
#define KORVASIM_COVERAGE_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/analysis/fault_catalogue.h"
#include "sim/analysis/pair_coverage.h"
#include "sim/analysis/test_runner.h"

namespace korvasim {

// Whether the board tests detect a fault: a failed test, none, or a test
// that never answered.
enum class Detection { CAUGHT, MISSED, HUNG };

// "caught", "missed" or "hung"; a test's result digit or "hang".
const char* detection_text(Detection d);
std::string code_text(const TestOutcome& outcome);

struct CoverageRow {
    CatalogueFault fault;
    TestOutcome outcomes[BOARD_TEST_COUNT];
    Detection detection() const;
};

std::vector<CoverageRow> run_coverage(const std::vector<uint8_t>& image,
                                      const std::vector<CatalogueFault>& faults, const RunPlan& plan);

// The catalogue's faults counted by part and class, in the report's order,
// and all of them together last (part "all").
struct ClassRow {
    std::string part;
    std::string fault_class;
    int counts[3];  // by Detection: caught, missed, hung
    int faults() const { return counts[0] + counts[1] + counts[2]; }
};
std::vector<ClassRow> class_rows(const std::vector<CoverageRow>& rows);
// "coverage: 99.6% of 257 single faults caught"
std::string coverage_line(const ClassRow& all);

void print_coverage_table(FILE* out, const std::vector<CoverageRow>& rows);
void print_coverage_csv(FILE* out, const std::vector<CoverageRow>& rows);
void print_coverage_json(FILE* out, const std::vector<CoverageRow>& rows);

// Coverage by part and fault model, with how each figure was had.
struct ModelRow {
    std::string part;
    std::string model;
    uint64_t faults;
    uint64_t caught;
    std::string method;
    double percent() const;  // of the faults, caught
};

// The single line faults of the catalogue, by part.
std::vector<ModelRow> line_fault_rows(const std::vector<CoverageRow>& rows);

void print_model_table(FILE* out, const std::vector<ModelRow>& rows);
void print_model_csv(FILE* out, const std::vector<ModelRow>& rows);
// The pair model's rows, one per memory.
std::vector<ModelRow> pair_rows(const std::vector<PairCoverage>& pairs);
// The classes of pairs that hide each other, with a count and an example.
void print_masking_pairs(FILE* out, const std::vector<PairCoverage>& pairs);
// Both tables and the masking pairs as one JSON object.
void print_all_json(FILE* out, const std::vector<CoverageRow>& rows, const std::vector<ModelRow>& models,
                    const std::vector<PairCoverage>& pairs);

} // namespace korvasim

#endif
