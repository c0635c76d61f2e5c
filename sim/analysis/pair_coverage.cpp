#include "sim/analysis/pair_coverage.h"

#include <algorithm>
#include <atomic>
#include <mutex>

#include "sim/board/faults.h"
#include "sim/analysis/parallel.h"
#include "sim/analysis/test_runner.h"

namespace korvasim {

std::vector<CatalogueFault> line_faults(const std::string& part)
{
    std::vector<CatalogueFault> lines;
    for (const CatalogueFault& f : fault_catalogue())
        if (f.part == part && f.spec.find(".absent") == std::string::npos)
            lines.push_back(f);
    return lines;
}

std::vector<PairCoverage> run_pair_coverage(const std::vector<uint8_t>& image, const RunPlan& plan,
                                            const std::function<void(size_t, size_t)>& progress,
                                            const std::function<bool(const CatalogueFault&)>& include)
{
    struct Pair {
        size_t part;
        const CatalogueFault* a;
        const CatalogueFault* b;
        FaultSet faults;
    };
    const std::vector<std::string> parts = {"SDRAM", "SRAM"};
    std::vector<std::vector<CatalogueFault>> faults;
    std::vector<Pair> pairs;
    for (const std::string& part : parts) {
        faults.push_back(line_faults(part));
        if (include)
            faults.back().erase(std::remove_if(faults.back().begin(), faults.back().end(),
                                               [&](const CatalogueFault& f) { return !include(f); }),
                                faults.back().end());
    }
    for (size_t p = 0; p < parts.size(); ++p)
        for (size_t i = 0; i < faults[p].size(); ++i)
            for (size_t j = i + 1; j < faults[p].size(); ++j) {
                FaultSet set;
                if (add_fault(faults[p][i].spec, set) && add_fault(faults[p][j].spec, set))
                    pairs.push_back({p, &faults[p][i], &faults[p][j], set});
            }
    std::vector<PairCoverage> result(parts.size());
    for (size_t p = 0; p < parts.size(); ++p)
        result[p].part = parts[p];
    std::mutex mutex;
    std::atomic<size_t> done{0};
    parallel_for(pairs.size(), plan.threads, [&](size_t k) {
        const Pair& pair = pairs[k];
        const char command = parts[pair.part] == "SDRAM" ? COMMAND_SDRAM_TEST : COMMAND_SRAM_TEST;
        const TestOutcome o = run_board_test(image, pair.faults, command, false, plan.budget_ms, plan.start);
        {
            std::lock_guard<std::mutex> lock(mutex);
            PairCoverage& c = result[pair.part];
            ++c.pairs;
            if (!o.answered) {
                ++c.hung;
            } else if (o.code != 0) {
                ++c.caught;
            } else {
                const std::string classes = pair.a->fault_class + " + " + pair.b->fault_class;
                if (c.missed_by_class[classes]++ == 0)
                    c.example_by_class[classes] = pair.a->spec + " with " + pair.b->spec;
            }
        }
        progress(++done, pairs.size());
    });
    return result;
}

} // namespace korvasim
