// Runs that start from a booted board's saved state against runs on boards
// booted afresh with their faults in place: the same codes, hangs and
// reports for every fault of the catalogue and for samples of pairs, cells
// and couplings; and the bench's own decisions (a fault the boot could see,
// a hang, a state the board refuses).
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "firmware/boot_image.h"
#include "sim/analysis/cell_coverage.h"
#include "sim/analysis/coupling_coverage.h"
#include "sim/analysis/fault_catalogue.h"
#include "sim/analysis/pair_coverage.h"
#include "sim/analysis/test_bench.h"
#include "tests/sim/program_runner.h"
#include "tests/support/case_name.h"

namespace korvasim {
namespace {

// In the core's own time: a sound test takes a few milliseconds.
const int BUDGET_MS = 300;

std::vector<uint8_t> monitor()
{
    return std::vector<uint8_t>(boot_image, boot_image + BOOT_IMAGE_SIZE);
}

struct BenchRun {
    std::string spec;  // "" for none; "A+B" for two
    int test;
    bool verbose;
};

FaultSet faults_of(const std::string& spec)
{
    FaultSet set;
    for (size_t from = 0; from < spec.size();) {
        const size_t plus = std::min(spec.find('+', from), spec.size());
        const Result added = add_fault(spec.substr(from, plus - from), set);
        if (!added)
            throw std::logic_error(added.why());
        from = plus + 1;
    }
    return set;
}

// Runs each both ways, on two threads with a bench each, and expects the
// same outcome; every run of a bench starts from its saved state.
void expect_same_both_ways(const std::vector<BenchRun>& runs)
{
    std::vector<TestOutcome> saved(runs.size()), fresh(runs.size());
    uint64_t from_saved[2] = {0, 0}, fresh_boots[2] = {0, 0};
    std::vector<std::thread> workers;
    for (size_t w = 0; w < 2; ++w)
        workers.emplace_back([&, w] {
            TestBench bench(monitor());
            for (size_t i = w; i < runs.size(); i += 2) {
                const FaultSet set = faults_of(runs[i].spec);
                const char command = TEST_COMMANDS[runs[i].test];
                saved[i] = bench.run(set, command, runs[i].verbose, BUDGET_MS);
                fresh[i] = run_board_test_afresh(monitor(), set, command, runs[i].verbose, BUDGET_MS);
            }
            from_saved[w] = bench.runs_from_saved_state();
            fresh_boots[w] = bench.fresh_boots();
        });
    for (std::thread& t : workers)
        t.join();
    EXPECT_EQ(from_saved[0] + from_saved[1], runs.size());
    EXPECT_EQ(fresh_boots[0] + fresh_boots[1], 0u);
    for (size_t i = 0; i < runs.size(); ++i) {
        const std::string what = runs[i].spec + " in the " + TEST_NAMES[runs[i].test] + " test";
        EXPECT_EQ(saved[i].answered, fresh[i].answered) << what;
        EXPECT_EQ(saved[i].code, fresh[i].code) << what;
        EXPECT_EQ(saved[i].report, fresh[i].report) << what;
    }
}

int test_of(const std::string& part)
{
    for (int t = 0; t < BOARD_TEST_COUNT; ++t)
        if (part == TEST_NAMES[t])
            return t;
    throw std::logic_error("no test for " + part);
}

// Every fault of a part's catalogue in each of the three tests, a part's
// faults in a few shares (each share a test of its own).
struct CatalogueShare {
    const char* name;
    const char* part;
    size_t share, shares;
};

class EveryCatalogueFault : public testing::TestWithParam<CatalogueShare> {};

TEST_P(EveryCatalogueFault, AnswersAsOnABoardBootedAfresh)
{
    const CatalogueShare& c = GetParam();
    std::vector<BenchRun> runs;
    size_t n = 0;
    for (const CatalogueFault& f : fault_catalogue())
        if (f.part == std::string(c.part) && n++ % c.shares == c.share)
            for (int t = 0; t < BOARD_TEST_COUNT; ++t)
                runs.push_back({f.spec, t, false});
    ASSERT_FALSE(runs.empty());
    expect_same_both_ways(runs);
}

INSTANTIATE_TEST_SUITE_P(TestBench, EveryCatalogueFault,
                         testing::Values(CatalogueShare{"Sdram1of3", "SDRAM", 0, 3},
                                         CatalogueShare{"Sdram2of3", "SDRAM", 1, 3},
                                         CatalogueShare{"Sdram3of3", "SDRAM", 2, 3},
                                         CatalogueShare{"Sram1of2", "SRAM", 0, 2},
                                         CatalogueShare{"Sram2of2", "SRAM", 1, 2},
                                         CatalogueShare{"Flash", "FLASH", 0, 1}),
                         CaseName());

// The first fault of every class with the first of every other class of
// its part, and each alone, with the verbose report of the part's test.
TEST(TestBench, PairsOfEveryTwoClassesReportAsOnABoardBootedAfresh)
{
    std::vector<BenchRun> runs;
    for (const std::string part : {"SDRAM", "SRAM", "FLASH"}) {
        std::vector<std::string> firsts;
        for (const auto& [p, fault_class] : fault_classes())
            if (p == part)
                for (const CatalogueFault& f : fault_catalogue())
                    if (f.part == part && f.fault_class == fault_class) {
                        firsts.push_back(f.spec);
                        break;
                    }
        for (size_t i = 0; i < firsts.size(); ++i) {
            runs.push_back({firsts[i], test_of(part), true});
            for (size_t j = i + 1; j < firsts.size(); ++j) {
                FaultSet both;
                if (add_fault(firsts[i], both) && add_fault(firsts[j], both))
                    runs.push_back({firsts[i] + "+" + firsts[j], test_of(part), true});
            }
        }
    }
    expect_same_both_ways(runs);
}

TEST(TestBench, CellsAndCouplingsAsOnABoardBootedAfresh)
{
    std::vector<BenchRun> runs;
    for (bool sdram : {true, false}) {
        const CellCoverage cells(monitor(), sdram, SOUND_BUDGET_MS);
        for (const CellFault& f : cells.sample(20, 7))
            runs.push_back({cells.spec(f), test_of(cells.part()), false});
        for (const std::string& spec : coupling_sample(sdram, 20, 7))
            runs.push_back({spec, test_of(cells.part()), false});
    }
    expect_same_both_ways(runs);
}

// The whole sampled coupling table, with its seed, either way.
TEST(TestBench, TheSampledCouplingTableIsTheSameEitherWay)
{
    const SampledCoverage saved =
        sample_coupling_coverage(monitor(), false, 60, 2026, {BUDGET_MS, 2, BoardStart::SAVED_STATE});
    const SampledCoverage fresh =
        sample_coupling_coverage(monitor(), false, 60, 2026, {BUDGET_MS, 2, BoardStart::FRESH_BOOT});
    EXPECT_EQ(saved.sampled, fresh.sampled);
    EXPECT_EQ(saved.caught, fresh.caught);
}

struct BootCase {
    const char* name;
    uint32_t parameter;  // bit 0: the boot reads the SRAM
    const char* spec;
    bool boots_afresh;
};

class BootSeesTest : public testing::TestWithParam<BootCase> {};

TEST_P(BootSeesTest, AFaultTheBootCouldSeeBootsAfresh)
{
    const BootCase& c = GetParam();
    TestBench bench(image_with_parameter("saved_state", c.parameter));
    const TestOutcome o = bench.run(faults_of(c.spec), 'a', false, BUDGET_MS);
    EXPECT_TRUE(o.answered);
    EXPECT_EQ(bench.fresh_boots(), c.boots_afresh ? 1u : 0u);
    EXPECT_EQ(bench.runs_from_saved_state(), c.boots_afresh ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    TestBench, BootSeesTest,
    testing::Values(BootCase{"SramFaultSramReadInTheBoot", 1, "sram.d0=0", true},
                    BootCase{"SramFaultSramUntouched", 0, "sram.d0=0", false},
                    BootCase{"SdramFaultSramReadInTheBoot", 1, "sdram.d0=0", false},
                    BootCase{"FlashFaultSramReadInTheBoot", 1, "flash.busy", false},
                    BootCase{"NoFaultSramReadInTheBoot", 1, "", false}),
    CaseName());

TEST(TestBench, AfterAHangTheNextRunAnswersAsEver)
{
    TestBench bench(monitor());
    EXPECT_FALSE(bench.run(faults_of("flash.busy"), COMMAND_FLASH_TEST, false, BUDGET_MS).answered);
    const TestOutcome after = bench.run({}, COMMAND_FLASH_TEST, false, BUDGET_MS);
    EXPECT_TRUE(after.answered);
    EXPECT_EQ(after.code, 0);
    EXPECT_EQ(bench.runs_from_saved_state(), 2u);
}

TEST(TestBench, AfterARunChangedTheMemoryMapTheNextStartsFromTheBootAgain)
{
    TestBench bench(image_with_parameter("saved_state", 0));
    std::string codes;
    for (char command : std::string("cmcmca"))
        codes += std::to_string(bench.run({}, command, false, BUDGET_MS).code);
    EXPECT_EQ(codes, "101010");
    EXPECT_EQ(bench.fresh_boots(), 0u);
}

} // namespace
} // namespace korvasim
