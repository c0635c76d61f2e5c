// Fault coverage over the catalogue, by fault model and by pairs.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <map>
#include <set>

#include "tests/support/case_name.h"
#include "firmware/boot_image.h"
#include "sim/analysis/cell_coverage.h"
#include "sim/analysis/coupling_coverage.h"
#include "sim/analysis/pair_coverage.h"
#include "sim/analysis/coverage.h"

namespace korvasim {
namespace {

using case_print::operator<<;

const int HANG = -1;

std::vector<uint8_t> image()
{
    return std::vector<uint8_t>(boot_image, boot_image + BOOT_IMAGE_SIZE);
}

TEST(Catalogue, EveryClassWithItsCount)
{
    const auto all = fault_catalogue();
    std::map<std::string, int> per_part;
    std::set<std::string> specs;
    for (const auto& f : all) {
        ++per_part[f.part];
        specs.insert(f.spec);
        FaultSet set;
        EXPECT_TRUE(add_fault(f.spec, set)) << f.spec;
    }
    EXPECT_EQ(specs.size(), all.size());
    EXPECT_EQ(per_part["SDRAM"], 64 + 31 + 48 + 23 + 1);
    EXPECT_EQ(per_part["SRAM"], 16 + 7 + 36 + 17 + 1);
    EXPECT_EQ(per_part["FLASH"], 12 + 1);
}

struct CoverageCase {
    const char* spec;
    int codes[3];
};

TEST(Coverage, SampleOfTheCatalogueGivesExactCodes)
{
    const std::vector<CoverageCase> cases = {
        {"sram.d3=0", {0, 0, 2}},    {"sram.d7=0", {0, 0, 1}},      {"sram.absent", {0, 0, 2}},
        {"sdram.d31=0", {1, 0, 0}},  {"sdram.a10=1", {2, 0, 0}}, {"flash.q1.V=0", {0, 1, 0}},
        {"flash.q3.B=0", {0, 3, 0}}, {"flash.busy", {0, HANG, 0}},
    };
    std::vector<CatalogueFault> sample;
    for (const auto& c : cases)
        sample.push_back({c.spec, "", "", c.spec});
    const auto rows = run_coverage(image(), sample, {1000, 2});
    ASSERT_EQ(rows.size(), cases.size());
    for (size_t i = 0; i < rows.size(); ++i)
        for (int t = 0; t < 3; ++t) {
            const TestOutcome& o = rows[i].outcomes[t];
            EXPECT_EQ(o.answered ? o.code : HANG, cases[i].codes[t]) << cases[i].spec << " test " << t;
        }
    EXPECT_EQ(rows.back().detection(), Detection::HUNG);
    EXPECT_EQ(rows.front().detection(), Detection::CAUGHT);
}

// The worked-out cell coverage against runs with the cell fault injected,
// on cells the test reads and cells it does not.
class CellCoverageTest : public testing::TestWithParam<bool> {};

TEST_P(CellCoverageTest, AgreesWithSimulatedRuns)
{
    const bool sdram = GetParam();
    const CellCoverage cells(image(), sdram, 5000);
    EXPECT_GT(cells.cells_read(), 0u);
    EXPECT_LT(cells.caught(), cells.faults());
    EXPECT_EQ(cells.faults(), cells.cells() * (sdram ? 32 : 8) * 2);
    size_t caught = 0;
    for (const CellFault& f : cells.sample(24, 7)) {
        const TestOutcome o = run_board_test(image(), catalogue_faults(cells.spec(f)),
                                             sdram ? COMMAND_SDRAM_TEST : COMMAND_SRAM_TEST, false, 5000);
        ASSERT_TRUE(o.answered) << cells.spec(f);
        EXPECT_EQ(o.code != 0, cells.catches(f)) << cells.spec(f);
        caught += cells.catches(f);
    }
    // The sample holds both kinds.
    EXPECT_GT(caught, 0u);
    EXPECT_LT(caught, 24u);
}

INSTANTIATE_TEST_SUITE_P(Coverage, CellCoverageTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "Sdram" : "Sram"; });

TEST(Coverage, EveryPairOfSramDataLineFaultsIsRunAndCaught)
{
    size_t last = 0;
    const auto pairs = run_pair_coverage(
        image(), {5000, 2}, [&](size_t done, size_t) { last = std::max(last, done); },
        [](const CatalogueFault& f) { return f.part == "SRAM" && f.fault_class.rfind("data line", 0) == 0; });
    ASSERT_EQ(pairs.size(), 2u);
    EXPECT_EQ(pairs[0].pairs, 0u);  // no SDRAM fault was let in
    // 16 stuck lines and 7 shorts: 253 pairs, less the 8 lines stuck both ways.
    EXPECT_EQ(pairs[1].pairs, 245u);
    EXPECT_EQ(pairs[1].caught, 245u);
    EXPECT_TRUE(pairs[1].missed_by_class.empty());
    EXPECT_EQ(last, 245u);
}

struct CouplingCase {
    const char* name;
    const char* fault;
    bool caught;
};

class CouplingTest : public testing::TestWithParam<CouplingCase> {};

TEST_P(CouplingTest, TheSramTestSeesItOnlyWhereItLooks)
{
    const TestOutcome o = run_board_test(image(), catalogue_faults(GetParam().fault), COMMAND_SRAM_TEST, false, 5000);
    ASSERT_TRUE(o.answered);
    EXPECT_EQ(o.code != 0, GetParam().caught);
}

INSTANTIATE_TEST_SUITE_P(
    Coverage, CouplingTest,
    testing::Values(
        // The address test writes 1 at offset 1 and then reads 0 back at 0.
        CouplingCase{"BetweenCellsTheTestReads", "sram.couple:0x1.0=1>0x0.7=1", true},
        CouplingCase{"BetweenCellsItNeverReads", "sram.couple:0x30001.0=1>0x30000.7=1", false}),
    CaseName());

TEST(Coverage, WilsonIntervalAtNinetyFivePercent)
{
    double low = 0, high = 0;
    wilson_interval(0, 400, &low, &high);
    EXPECT_EQ(low, 0.0);
    EXPECT_NEAR(high, 0.00951, 0.00002);
    wilson_interval(50, 100, &low, &high);
    EXPECT_NEAR(low, 0.4038, 0.0005);
    EXPECT_NEAR(high, 0.5962, 0.0005);
}

TEST(Coverage, ACouplingSampleIsTheSameForTheSameSeed)
{
    const auto a = coupling_sample(false, 50, 9);
    EXPECT_EQ(a, coupling_sample(false, 50, 9));
    EXPECT_NE(a, coupling_sample(false, 50, 10));
    for (const std::string& spec : coupling_sample(true, 50, 9)) {
        FaultSet set;
        EXPECT_TRUE(add_fault(spec, set)) << spec;
    }
}

TEST(Coverage, PairsThatHideEachOtherAreListedByClass)
{
    PairCoverage sram;
    sram.part = "SRAM";
    sram.pairs = 10;
    sram.caught = 8;
    sram.missed_by_class = {{"address line stuck + address lines shorted", 2}};
    sram.example_by_class = {{"address line stuck + address lines shorted", "sram.a3=0 with sram.a3-a4"}};
    char buffer[1024] = {};
    FILE* out = fmemopen(buffer, sizeof buffer, "w");
    print_masking_pairs(out, {PairCoverage{}, sram});
    fclose(out);
    EXPECT_STREQ(buffer, "\nSRAM pairs that hide each other:\n"
                         "  address line stuck + address lines shorted            2  e.g. sram.a3=0 with sram.a3-a4\n");
    const std::vector<ModelRow> rows = pair_rows({sram});
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].faults, 10u);
    EXPECT_EQ(rows[0].caught, 8u);
}

TEST(Coverage, ReportsCarryTheMatrix)
{
    CoverageRow caught{{"sram.d3=0", "SRAM", "data line stuck", "SRAM data line 3 stuck at 0"}, {}};
    caught.outcomes[0] = {true, 0, ""};
    caught.outcomes[1] = {true, 0, ""};
    caught.outcomes[2] = {true, 2, ""};
    CoverageRow missed = caught;
    missed.fault.spec = "sram.d4=0";
    missed.fault.name = "SRAM data line 4 stuck at 0";
    missed.outcomes[2].code = 0;
    CoverageRow hung{{"flash.busy", "FLASH", "never ready", "FLASH block never ready"}, {}};
    hung.outcomes[0] = {true, 0, ""};
    hung.outcomes[2] = {true, 0, ""};
    const std::vector<CoverageRow> rows = {caught, missed, hung};

    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    print_coverage_csv(out, rows);
    print_coverage_table(out, rows);
    fclose(out);
    const std::string printed(text, size);
    free(text);
    for (const char* expected :
         {"fault,name,sdram,flash,sram,verdict\n", "sram.d3=0,SRAM data line 3 stuck at 0,0,0,2,caught\n",
          "flash.busy,FLASH block never ready,0,hang,0,hung\n",
          "coverage: 33.3% of 3 single faults caught", "missed:\n  SRAM data line 4 stuck at 0 (sram.d4=0)",
          "hung:\n  FLASH block never ready (flash.busy)"})
        EXPECT_NE(printed.find(expected), std::string::npos) << expected << "\n" << printed;

    out = open_memstream(&text, &size);
    print_coverage_json(out, rows);
    fclose(out);
    const nlohmann::json matrix = nlohmann::json::parse(std::string(text, size));
    free(text);
    ASSERT_EQ(matrix.size(), 3u);
    EXPECT_EQ(matrix[2], nlohmann::json::parse(R"({"fault": "flash.busy", "name": "FLASH block never ready",
        "sdram": 0, "flash": null, "sram": 0, "verdict": "hung"})"));
    EXPECT_EQ(matrix[0]["sram"], 2);
}

} // namespace
} // namespace korvasim
