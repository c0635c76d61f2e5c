// The coverage report as one self-contained HTML page (no scripts, nothing
// fetched): the tables, and a picture per memory of the cells its test
// reads.
#ifndef KORVASIM_COVERAGE_PAGE_H
#define KORVASIM_COVERAGE_PAGE_H

#include <cstdio>
#include <vector>

#include "sim/analysis/cell_coverage.h"
#include "sim/analysis/coverage.h"

namespace korvasim {

// models and pairs may be empty (a report without --coverage=all).
void print_coverage_html(FILE* out, const std::vector<CoverageRow>& rows, const std::vector<ModelRow>& models,
                         const std::vector<PairCoverage>& pairs, const std::vector<const CellCoverage*>& cells);

} // namespace korvasim

#endif
