#include "sim/program/coverage_report.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <thread>
#include <unistd.h>

#include "sim/analysis/cell_coverage.h"
#include "sim/analysis/coupling_coverage.h"
#include "sim/analysis/coverage.h"
#include "sim/analysis/coverage_page.h"
#include "sim/analysis/diagnosis.h"
#include "sim/analysis/pair_coverage.h"
#include "sim/analysis/parallel.h"
#include "sim/program/command_line.h"
#include "sim/support/read_limited.h"

namespace korvasim {

namespace {


unsigned worker_threads()
{
    return std::max(1u, std::thread::hardware_concurrency());
}

// Cells whose fault is both worked out and simulated, per memory.
const size_t CELL_CROSS_CHECKS = 200;
const uint32_t CELL_SAMPLE_SEED = 2026;

// The cell faults of both memories, worked out from one run each and
// checked against simulated runs of a sample; a disagreement is a failure.
Result cell_fault_rows(const std::vector<uint8_t>& image, const std::vector<const CellCoverage*>& memories,
                       const RunPlan& plan, std::vector<ModelRow>* rows)
{
    for (const CellCoverage* memory : memories) {
        const CellCoverage& cells = *memory;
        const bool sdram = cells.sdram();
        const std::vector<CellFault> sample = cells.sample(CELL_CROSS_CHECKS, CELL_SAMPLE_SEED);
        std::vector<int> disagrees(sample.size(), 0);
        parallel_for(sample.size(), plan.threads, [&](size_t i) {
            const TestOutcome o = run_board_test(image, catalogue_faults(cells.spec(sample[i])),
                                                 sdram ? COMMAND_SDRAM_TEST : COMMAND_SRAM_TEST, false,
                                                 plan.budget_ms, plan.start);
            disagrees[i] = !o.answered || (o.code != 0) != cells.catches(sample[i]);
        });
        for (size_t i = 0; i < sample.size(); ++i)
            if (disagrees[i])
                return Result::failure("the worked-out cell coverage disagrees with a simulated run for " +
                                       cells.spec(sample[i]));
        rows->push_back({cells.part(), "cell bit stuck at 0 or 1", cells.faults(), cells.caught(),
                         "exact from one run (" + std::to_string(cells.cells_read()) + " of " +
                             std::to_string(cells.cells()) + " cells read); " +
                             std::to_string(sample.size()) + " cells cross-checked by simulation"});
    }
    return Result::ok();
}

// Coupling faults simulated per memory, drawn with a fixed seed.
const size_t COUPLING_SAMPLE = 400;
const uint32_t COUPLING_SEED = 2026;

std::vector<ModelRow> coupling_rows(const std::vector<uint8_t>& image, const RunPlan& plan)
{
    std::vector<ModelRow> rows;
    for (bool sdram : {true, false}) {
        const SampledCoverage c = sample_coupling_coverage(image, sdram, COUPLING_SAMPLE, COUPLING_SEED, plan);
        char method[200];
        snprintf(method, sizeof method, "sampled: %zu of %.3g, seed %u; 95%% interval %.3g%% to %.3g%%", c.sampled,
                 c.population, COUPLING_SEED, 100 * c.low, 100 * c.high);
        rows.push_back({sdram ? "SDRAM" : "SRAM", "two cells coupled", c.sampled, c.caught, method});
    }
    return rows;
}

// --coverage=all: every fault model beside the catalogue's single faults.
int report_every_model(const std::vector<uint8_t>& image, const std::string& format, const RunPlan& plan,
                       const std::vector<CoverageRow>& rows, const std::vector<const CellCoverage*>& cells)
{
    std::vector<ModelRow> models = line_fault_rows(rows);
    const bool terminal = isatty(STDERR_FILENO);
    const std::vector<PairCoverage> pairs =
        run_pair_coverage(image, plan, [terminal](size_t done, size_t total) {
            if (terminal && (done % 100 == 0 || done == total))
                fprintf(stderr, "\rpairs of line faults: %zu of %zu%s", done, total, done == total ? "\n" : "");
        });
    for (const ModelRow& m : pair_rows(pairs))
        models.push_back(m);
    if (const Result checked = cell_fault_rows(image, cells, plan, &models); !checked)
        return fail(checked.why());
    for (const ModelRow& m : coupling_rows(image, plan))
        models.push_back(m);
    if (format == "csv") {
        print_model_csv(stdout, models);
    } else if (format == "html") {
        print_coverage_html(stdout, rows, models, pairs, cells);
    } else if (format == "json") {
        print_all_json(stdout, rows, models, pairs);
    } else {
        print_coverage_table(stdout, rows);
        fputs("\n", stdout);
        print_model_table(stdout, models);
        print_masking_pairs(stdout, pairs);
    }
    return 0;
}

} // namespace

int report_coverage(const std::vector<uint8_t>& image, const std::string& format, bool all, BoardStart start)
{
    // Coverage means nothing unless the board without faults passes.
    std::vector<TestOutcome> sound;
    for (int t = 0; t < BOARD_TEST_COUNT; ++t) {
        const TestOutcome o = run_board_test(image, {}, TEST_COMMANDS[t], false, SOUND_BUDGET_MS, start);
        sound.push_back(o);
        if (!o.answered || o.code != 0)
            return fail(std::string("the image does not pass the ") + TEST_NAMES[t] +
                        " test on a board without faults (" +
                        (o.answered ? "result " + std::to_string(o.code) : "no answer") +
                        "): no coverage to report");
    }
    const RunPlan plan{hang_budget_ms(sound), worker_threads(), start};
    const auto rows = run_coverage(image, fault_catalogue(), plan);
    std::unique_ptr<CellCoverage> sdram_cells, sram_cells;
    std::vector<const CellCoverage*> cells;
    if (all || format == "html") {
        try {
            sdram_cells = std::make_unique<CellCoverage>(image, true, SOUND_BUDGET_MS);
            sram_cells = std::make_unique<CellCoverage>(image, false, SOUND_BUDGET_MS);
        } catch (const std::exception& e) {
            return fail(e.what());
        }
        cells = {sdram_cells.get(), sram_cells.get()};
    }
    if (!all && format == "html") {
        print_coverage_html(stdout, rows, {}, {}, cells);
        return 0;
    }
    if (all)
        return report_every_model(image, format, plan, rows, cells);
    if (format == "csv")
        print_coverage_csv(stdout, rows);
    else if (format == "json")
        print_coverage_json(stdout, rows);
    else
        print_coverage_table(stdout, rows);
    return 0;
}

int report_diagnosis(const std::vector<uint8_t>& image, const std::string& log_path)
{
    std::string text;
    if (const Result read = read_limited("log", log_path, LOG_LIMIT, &text); !read)
        return fail(read.why());
    if (text.size() > LOG_LIMIT)
        return fail(log_path + " is larger than 16 MiB; a verbose log of one run is far smaller");
    std::vector<LoggedTest> tests;
    const Result parsed = parse_verbose_log(text, &tests);
    if (!parsed)
        return fail(log_path + ": " + parsed.why());
    bool failed = false;
    for (const LoggedTest& t : tests)
        failed = failed || !t.passed;
    if (!failed) {
        printf("%s: every test passed; nothing to diagnose\n", log_path.c_str());
        return 0;
    }
    const Diagnosis d = diagnose(image, tests, worker_threads());
    if (d.matches.empty()) {
        printf("No single fault explains %s.\n", log_path.c_str());
        if (!d.closest.empty() && d.first_difference.empty())
            printf("Closest: %s, which agrees with the whole log: that value is not one of the catalogue's faults.\n",
                   d.closest.c_str());
        else if (!d.closest.empty())
            printf("Closest: %s; first difference in the %s.\n", d.closest.c_str(), d.first_difference.c_str());
        return 1;
    }
    printf("%s matches:\n", log_path.c_str());
    for (const CatalogueFault& f : d.matches)
        printf("  %s (--fault %s)\n", f.name.c_str(), f.spec.c_str());
    return 0;
}

} // namespace korvasim
