// The monitor's command loop: prompt, commands, answers, modes; and the
// stack the whole monitor needs.
#include <gtest/gtest.h>

#include "firmware/monitor_settings.h"
#include "tests/support/report_sizes.h"
#include "tests/firmware/monitor_session.h"
#include "tests/support/case_name.h"

namespace {

TEST(CommandLoop, QuietAnswersAreAColonAndOneDigit)
{
    Monitor monitor;
    EXPECT_EQ(monitor.board().output(), "?");
    for (const char* command : {"1", "2", "3", "s", "1", "2", "3"})
        EXPECT_EQ(monitor.command(command), ":0?") << command;
}

TEST(CommandLoop, VerboseFromTheCommandAfterV)
{
    Monitor monitor;
    EXPECT_EQ(monitor.command("v"), ":0?");
    const std::string answer = monitor.command("2");
    EXPECT_EQ(answer.substr(0, 3), "0\r\n");
    EXPECT_EQ(answer.size(), REPORT_FLASH_BYTES + 3u);
}

class NonCommandTest : public testing::TestWithParam<char> {};

TEST_P(NonCommandTest, IsAnsweredWithZeroAndChangesNothing)
{
    Monitor monitor;
    EXPECT_EQ(monitor.command(std::string(1, GetParam())), ":0?");
    EXPECT_EQ(monitor.command("2"), ":0?");  // still quiet
}

INSTANTIATE_TEST_SUITE_P(CommandLoop, NonCommandTest,
                         testing::Values('V', 'S', '\r', '\n', '\0', '?', ':', '0', '4', 'x', '\xff'));

TEST(CommandLoop, ByteSentDuringATestIsTakenAfterTheNextPrompt)
{
    Monitor monitor;
    EXPECT_EQ(monitor.command("13x2"), ":0?:0?:0?:0?");
    EXPECT_EQ(monitor.command("3v"), ":0?:0?");
    EXPECT_EQ(monitor.command("2").size(), REPORT_FLASH_BYTES + 3u);  // the 'v' took effect
}

TEST(CommandLoop, EveryAccessOfAWholeSessionMeetsADefinedRegister)
{
    Monitor monitor;
    for (const char* command : {"v", "1", "2", "3", "x"})
        monitor.command(command);
    EXPECT_EQ(monitor.board().undefined_accesses(), 0u);
}

TEST(CommandLoop, ReportNeverCarriesTheMarkers)
{
    Monitor monitor(with_faults({"sram.d3=0", "sdram.a5=1", "flash.q1.S=0x3f"}));
    monitor.command("v");
    for (const char* test : {"1", "2", "3"}) {
        const std::string report = report_of(monitor.command(test));
        EXPECT_EQ(report.find_first_not_of("0123456789abcdefVSBDAwr* \r\n"), std::string::npos)
            << test;
    }
}

struct FaultCase {
    const char* fault;
    std::string codes;  // answers to 1, 2, 3
};

class FaultDetectionTest : public testing::TestWithParam<FaultCase> {};

TEST_P(FaultDetectionTest, OnlyTheTestOfTheFaultyPartFails)
{
    Monitor monitor(with_faults({GetParam().fault}));
    std::string codes;
    for (const char* test : {"1", "2", "3"}) {
        const std::string answer = monitor.command(test);
        ASSERT_EQ(answer.size(), 3u) << test;
        codes += answer[1];
    }
    EXPECT_EQ(codes, GetParam().codes);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLoop, FaultDetectionTest,
    testing::Values(FaultCase{"sram.d3=0", "002"}, FaultCase{"sram.d6=1", "002"},
                    FaultCase{"sram.d7=0", "001"}, FaultCase{"sram.d4-d5", "002"},
                    FaultCase{"sram.a8=0", "002"}, FaultCase{"sram.a17=1", "002"},
                    FaultCase{"sram.a2-a3", "002"}, FaultCase{"sram.absent", "002"},
                    FaultCase{"sdram.d31=0", "100"}, FaultCase{"sdram.d0=1", "200"},
                    FaultCase{"sdram.d20-d21", "100"}, FaultCase{"sdram.a2=0", "200"},
                    FaultCase{"sdram.a25=1", "200"}, FaultCase{"sdram.a12-a13", "200"},
                    FaultCase{"sdram.absent", "200"}, FaultCase{"flash.q1.V=0", "010"},
                    FaultCase{"flash.q3.S=6", "020"}, FaultCase{"flash.q0.B=5", "030"}));

TEST(Stack, DeepestUseStaysAboveTheFlagWords)
{
    const uint8_t FILL = 0xA5;
    const uint32_t flags_end = (BOOT_IMAGE_SIZE + 3) / 4 * 4 + 8;
    // Every frame of the paced run is the same whatever the pace count, so the
    // count in the image's literal pool is cut to a few passes: the full
    // count makes the test run 72 million stores for no extra depth.
    Monitor monitor({}, [&](uint8_t* ram) {
        replace_word(ram, BOOT_IMAGE_SIZE, PACE_DELAY_COUNT, 16);
        std::fill(ram + BOOT_IMAGE_SIZE, ram + BOOT_RAM_SIZE, FILL);
    });
    monitor.command("v");
    monitor.command("s");
    for (const char* test : {"1", "2", "3"})
        monitor.command(test);
    const uint8_t* ram = monitor.board().boot_ram();
    uint32_t lowest = flags_end;
    while (lowest < BOOT_RAM_SIZE && ram[lowest] == FILL)
        ++lowest;
    const uint32_t used = (STACK_TOP - IMAGE_BASE) - lowest;
    RecordProperty("stack_bytes_used", static_cast<int>(used));
    std::printf("stack high-water: %u bytes used, %u bytes to spare above the flag words\n", used,
                lowest - flags_end);
    EXPECT_GT(lowest, flags_end);
    EXPECT_LE(used, 120u);
    // The word at STACK_TOP itself is never written.
    for (uint32_t i = STACK_TOP - IMAGE_BASE; i < BOOT_RAM_SIZE; ++i)
        EXPECT_EQ(ram[i], FILL);
}

} // namespace
