// Boot images with one setting changed, as a firmware engineer might get it
// wrong: the simulated board must reject each that a real board would, by its
// behaviour alone, and run the harmless ones as before.
#include <gtest/gtest.h>

#include "tests/support/case_name.h"
#include "tests/firmware/monitor_session.h"
#include "firmware/monitor_settings.h"
#include "tests/support/session.h"

namespace {

struct Variant {
    const char* name;
    uint32_t from;        // a word of the start-up: code or literal pool
    uint32_t to;
    const char* answers;  // result digits of 1, 2, 3; "" for a board with no prompt
};

// A sound board prompts within milliseconds, also under the sanitizers.
const int NO_PROMPT_WAIT_MS = 3000;

// Boots image and checks the board against answers: the result digits of
// the three tests, or "" for a board that does not prompt (it waits without
// a prompt, halts on a CPU fault or never waits for input at all).
void expect_behaviour(const std::vector<uint8_t>& image, const std::string& answers)
{
    korvasim::Board board;
    board.load_image(image);
    board.power_on();
    if (answers.empty()) {
        const bool idle = board.wait_idle(NO_PROMPT_WAIT_MS);
        EXPECT_NE(board.output(), "?") << "the board prompted";
        if (!idle && board.wait_halted(0)) {
            EXPECT_NE(board.fault(), "") << "halted without naming a fault";
        }
        return;
    }
    ASSERT_TRUE(board.wait_idle(Monitor::TIMEOUT_MS)) << board.fault();
    ASSERT_EQ(board.output(), "?");
    std::string codes;
    for (const char* test : {"1", "2", "3"}) {
        const size_t before = board.output().size();
        board.send(test);
        ASSERT_TRUE(board.wait_idle(Monitor::TIMEOUT_MS)) << test << ": " << board.fault();
        const std::string answer = board.output().substr(before);
        ASSERT_EQ(answer.size(), 3u) << test;
        codes += answer[1];
    }
    EXPECT_EQ(codes, answers);
}

class VariantTest : public testing::TestWithParam<Variant> {};

TEST_P(VariantTest, BoardBehavesAsARealOneWould)
{
    std::vector<uint8_t> image = monitor_image();
    replace_word(image.data(), image.size(), GetParam().from, GetParam().to);
    expect_behaviour(image, GetParam().answers);
}

INSTANTIATE_TEST_SUITE_P(
    ChipSelects, VariantTest,
    testing::Values(
        // Write enable off: writes never reach the device.
        Variant{"BootDeviceNotWritable", EXP_TIMING_CS0_VALUE, EXP_TIMING_CS0_VALUE & ~2u, ""},
        Variant{"FlashNotWritable", EXP_TIMING_CS1_VALUE, EXP_TIMING_CS1_VALUE & ~2u, "030"},
        Variant{"SramNotWritable", EXP_TIMING_CS2_VALUE, EXP_TIMING_CS2_VALUE & ~2u, "002"},
        // A data bus width that is not the device's.
        Variant{"BootDeviceAs16Bit", EXP_TIMING_CS0_VALUE, EXP_TIMING_CS0_VALUE & ~1u, ""},
        Variant{"FlashAs8Bit", EXP_TIMING_CS1_VALUE, EXP_TIMING_CS1_VALUE | 1u, "030"},
        Variant{"SramAs16Bit", EXP_TIMING_CS2_VALUE, EXP_TIMING_CS2_VALUE & ~1u, "002"},
        // Harmless: another strobe time, an address time, a larger window.
        Variant{"SramOtherStrobeTime", EXP_TIMING_CS2_VALUE, EXP_TIMING_CS2_VALUE + (3u << 22), "000"},
        Variant{"FlashWithAddressTime", EXP_TIMING_CS1_VALUE, EXP_TIMING_CS1_VALUE | (1u << 28), "000"},
        Variant{"BootDeviceLargerWindow", EXP_TIMING_CS0_VALUE, EXP_TIMING_CS0_VALUE + (1u << 10),
                "000"}),
    CaseName());

// The first CP15 control write and the instruction cache's OR, as encoded.
const uint32_t MOV_R0_CONTROL_INIT = 0xE3A00000 | CP15_CTRL_INIT;
const uint32_t ORR_R0_ICACHE = 0xE3800A01;
const uint32_t MOV_R0_R0 = 0xE1A00000;

INSTANTIATE_TEST_SUITE_P(
    Core, VariantTest,
    testing::Values(
        // Left little-endian: every byte the monitor sends reaches another
        // UART register.
        Variant{"LittleEndian", MOV_R0_CONTROL_INIT, MOV_R0_CONTROL_INIT & ~CP15_CTRL_BIG_ENDIAN, ""},
        // Harmless: the instruction cache left off.
        Variant{"InstructionCacheOff", ORR_R0_ICACHE, MOV_R0_R0, "000"}),
    CaseName());

// Images built with one setting of the monitor changed.
struct RebuiltVariant {
    const char* name;     // the image's file name, without .bin
    const char* answers;
};

class RebuiltVariantTest : public testing::TestWithParam<RebuiltVariant> {};

TEST_P(RebuiltVariantTest, BoardBehavesAsARealOneWould)
{
    const std::string image = read_file(std::string(VARIANT_DIR) + "/" + GetParam().name + ".bin");
    ASSERT_FALSE(image.empty()) << GetParam().name;
    expect_behaviour(std::vector<uint8_t>(image.begin(), image.end()), GetParam().answers);
}

INSTANTIATE_TEST_SUITE_P(
    UartAndSdram, RebuiltVariantTest,
    testing::Values(
        // The host at 115200 8N1 reads the prompt wrong.
        RebuiltVariant{"uart_divisor_6", ""}, RebuiltVariant{"uart_7_bits", ""},
        // Harmless: another receive trigger level; interrupts on in the UART
        // while the core keeps them masked.
        RebuiltVariant{"uart_fifo_trigger_1", "000"},
        RebuiltVariant{"uart_interrupts_enabled", "000"},
        // Power-up waits cut far below the chip's minimum, or refresh never
        // started: the SDRAM keeps nothing.
        RebuiltVariant{"sdram_waits_cut", "200"}, RebuiltVariant{"sdram_short_waits_cut", "200"},
        RebuiltVariant{"sdram_no_refresh", "200"},
        // Harmless: the short waits shorter, still well above the minimum.
        RebuiltVariant{"sdram_short_waits_shorter", "000"}),
    CaseName());

} // namespace
