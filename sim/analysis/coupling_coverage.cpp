#include "sim/analysis/coupling_coverage.h"

#include <cmath>
#include <random>

#include "firmware/board_map.h"
#include "sim/analysis/parallel.h"
#include "sim/analysis/test_runner.h"

namespace korvasim {

namespace {

const double Z_95 = 1.959964;

} // namespace

void wilson_interval(size_t caught, size_t n, double* low, double* high)
{
    if (n == 0) {
        *low = 0;
        *high = 1;
        return;
    }
    const double p = static_cast<double>(caught) / static_cast<double>(n);
    const double z2 = Z_95 * Z_95;
    const double centre = (p + z2 / (2.0 * n)) / (1 + z2 / n);
    const double half = Z_95 * std::sqrt(p * (1 - p) / n + z2 / (4.0 * n * n)) / (1 + z2 / n);
    *low = std::max(0.0, centre - half);
    *high = std::min(1.0, centre + half);
}

std::vector<std::string> coupling_sample(bool sdram, size_t count, uint32_t seed)
{
    std::mt19937 random(seed);
    const uint32_t cells = sdram ? SDRAM_SIZE / 4 : SRAM_SIZE;
    const uint32_t step = sdram ? 4 : 1;
    const unsigned bits = sdram ? SDRAM_DATA_LINES : SRAM_DATA_LINES;
    std::vector<std::string> specs;
    while (specs.size() < count) {
        const uint32_t a = static_cast<uint32_t>(random() % cells) * step;
        const uint32_t v = static_cast<uint32_t>(random() % cells) * step;
        const unsigned ab = random() % bits, vb = random() % bits;
        const int written = random() & 1, forced = random() & 1;
        if (a == v && ab == vb)
            continue;
        char spec[96];
        snprintf(spec, sizeof spec, "%s.couple:0x%x.%u=%d>0x%x.%u=%d", sdram ? "sdram" : "sram", a, ab, written, v,
                 vb, forced);
        specs.push_back(spec);
    }
    return specs;
}

SampledCoverage sample_coupling_coverage(const std::vector<uint8_t>& image, bool sdram, size_t count,
                                         uint32_t seed, const RunPlan& plan)
{
    const std::vector<std::string> specs = coupling_sample(sdram, count, seed);
    std::vector<char> caught(specs.size(), 0);
    parallel_for(specs.size(), plan.threads, [&](size_t i) {
        const TestOutcome o = run_board_test(image, catalogue_faults(specs[i]),
                                             sdram ? COMMAND_SDRAM_TEST : COMMAND_SRAM_TEST, false, plan.budget_ms,
                                             plan.start);
        caught[i] = o.answered && o.code != 0;
    });
    SampledCoverage c{};
    c.sdram = sdram;
    const double cell_bits = static_cast<double>(sdram ? SDRAM_SIZE / 4 * 32.0 : SRAM_SIZE * 8.0);
    // Aggressor bit and value, victim bit (not the same one) and value.
    c.population = cell_bits * 2 * (cell_bits - 1) * 2;
    c.sampled = specs.size();
    for (char x : caught)
        c.caught += x != 0;
    wilson_interval(c.caught, c.sampled, &c.low, &c.high);
    return c;
}

} // namespace korvasim
