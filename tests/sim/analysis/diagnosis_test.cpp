// Diagnosis of failed boards' logs: the single faults that explain them.
#include <gtest/gtest.h>

#include <set>

#include "firmware/boot_image.h"
#include "sim/analysis/diagnosis.h"
#include "sim/analysis/test_runner.h"
#include "sim/board/faults.h"
#include "sim/analysis/text_lines.h"
#include "tests/support/case_name.h"

namespace korvasim {
namespace {

using case_print::operator<<;

std::vector<uint8_t> image()
{
    return std::vector<uint8_t>(boot_image, boot_image + BOOT_IMAGE_SIZE);
}

// The log dudedoved -v -l writes for a board with fault, one pass.
std::string verbose_log(const std::string& fault, const std::vector<int>& tests)
{
    FaultSet set;
    EXPECT_TRUE(add_fault(fault, set));
    std::string log;
    for (int t : tests) {
        const TestOutcome o = run_board_test(image(), set, TEST_COMMANDS[t], true, 5000);
        EXPECT_TRUE(o.answered);
        log += announcement_of(t) + "\n" + o.report +
               (o.code == 0 ? "passed\n" : "failed\n");
    }
    return log;
}

std::set<std::string> diagnosed(const std::string& log)
{
    std::vector<LoggedTest> tests;
    const korvasim::Result parsed = parse_verbose_log(log, &tests);
    EXPECT_TRUE(parsed) << parsed.why();
    std::set<std::string> specs;
    for (const auto& f : diagnose(image(), tests, 2).matches)
        specs.insert(f.spec);
    return specs;
}

struct DiagnosisCase {
    const char* fault;
    std::vector<int> tests;
    std::set<std::string> matches;
};

class DiagnosisTest : public testing::TestWithParam<DiagnosisCase> {};

TEST_P(DiagnosisTest, FailedRunIsTracedBackToItsFault)
{
    EXPECT_EQ(diagnosed(verbose_log(GetParam().fault, GetParam().tests)), GetParam().matches);
}

INSTANTIATE_TEST_SUITE_P(
    Diagnosis, DiagnosisTest,
    testing::Values(DiagnosisCase{"sram.d3=0", {2}, {"sram.d3=0"}},
                    DiagnosisCase{"sram.d4-d5", {2}, {"sram.d4-d5"}},
                    // A line stuck either way folds the same two cells together.
                    DiagnosisCase{"sram.a8=0", {2}, {"sram.a8=0", "sram.a8=1"}},
                    DiagnosisCase{"flash.q2.S=0", {0, 1, 2}, {"flash.q2.S=0"}},
                    DiagnosisCase{"sdram.d17=1", {0}, {"sdram.d17=1"}}));

TEST(Diagnosis, AStuckCellIsNamedFromTheMismatchesItCaused)
{
    // The address test writes 1 at offset 1 and reads it back.
    const TestOutcome o = run_board_test(image(), catalogue_faults("sram.cell:0x1.0=0"), COMMAND_SRAM_TEST, true, 5000);
    ASSERT_TRUE(o.answered);
    ASSERT_NE(o.code, 0);
    const std::vector<LoggedTest> tests = {{2, text_lines(o.report), false}};
    const Diagnosis d = diagnose(image(), tests, 2);
    std::vector<std::string> matches;
    for (const CatalogueFault& f : d.matches)
        matches.push_back(f.name);
    EXPECT_EQ(matches, std::vector<std::string>{"SRAM cell 0x1 bit 0 stuck at 0"});
}

TEST(Diagnosis, LineEndsAndLaterPassesDoNotMatter)
{
    const std::string one_pass = verbose_log("sram.d1=1", {2});
    std::string lf_only;
    for (char c : one_pass)
        if (c != '\r')
            lf_only += c;
    // A continuous run: the first pass is whole, the second cut short.
    const std::string continuous = lf_only + lf_only.substr(0, lf_only.size() / 2);
    EXPECT_EQ(diagnosed(continuous), std::set<std::string>{"sram.d1=1"});
}

TEST(Diagnosis, AModifiedLogIsExplainedByNoFaultAndTheDifferenceIsShown)
{
    std::string log = verbose_log("sram.d3=0", {2});
    const size_t at = log.find(" 2rf6");
    ASSERT_NE(at, std::string::npos);
    log.replace(at, 5, " 2rf4");
    std::vector<LoggedTest> tests;
    ASSERT_TRUE(parse_verbose_log(log, &tests));
    const Diagnosis d = diagnose(image(), tests, 2);
    EXPECT_TRUE(d.matches.empty());
    EXPECT_FALSE(d.closest.empty());
    EXPECT_NE(d.first_difference.find("SRAM report line"), std::string::npos) << d.first_difference;
}

TEST(Diagnosis, AFlashFieldOfAnotherValueIsHintedAsTheLogShowsIt)
{
    // The catalogue tries each field read as 0; a field that reads 2 is
    // explained by no fault of it, and the hint names the value the log has.
    std::vector<LoggedTest> tests;
    ASSERT_TRUE(parse_verbose_log(verbose_log("flash.q2.B=2", {1}), &tests));
    const Diagnosis d = diagnose(image(), tests, 2);
    EXPECT_TRUE(d.matches.empty());
    EXPECT_EQ(d.closest, "FLASH query 2 field B reads 2");
    EXPECT_EQ(d.first_difference, "");
}

struct BadLogCase {
    const char* name;
    std::string log;
    const char* reason;
};

class BadLogTest : public testing::TestWithParam<BadLogCase> {};

TEST_P(BadLogTest, IsRefusedWithAReason)
{
    std::vector<LoggedTest> tests;
    const korvasim::Result parsed = parse_verbose_log(GetParam().log, &tests);
    EXPECT_FALSE(parsed);
    EXPECT_NE(parsed.why().find(GetParam().reason), std::string::npos) << parsed.why();
    EXPECT_EQ(parsed.why().find('\n'), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Diagnosis, BadLogTest,
    testing::Values(BadLogCase{"Empty", "", "no verbose test report"},
                    BadLogCase{"NotALog", "\x7f" "ELF\x01\x02garbage\n", "not part of a dudedoved log"},
                    BadLogCase{"Quiet", "Testing SRAM... failed\n", "written with -v"},
                    BadLogCase{"CutShort", "Testing SRAM...\r\nD52000000\r\n 0w1", "cut off"},
                    BadLogCase{"NextTestBeforeVerdict", "Testing SDRAM...\nD0\nTesting FLASH...\npassed\n",
                               "SDRAM report is cut off"},
                    // As large as a log may be: read in one sweep, not line by line held.
                    BadLogCase{"OnlyLineEnds", std::string(16 << 20, '\n'), "no verbose test report"},
                    BadLogCase{"EndlessReport", "Testing SRAM...\n" + std::string(16 << 20, '\n'),
                               "the SRAM report has more than 65536 lines"}),
    CaseName());

} // namespace
} // namespace korvasim
