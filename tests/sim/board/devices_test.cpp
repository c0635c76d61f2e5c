// Device models driven by small board programs through the simulator's
// library: the chip select windows, the SDRAM controller and the map
// switch, the flash block, access widths, CPU faults and the trace.
#include <gtest/gtest.h>

#include "firmware/monitor_settings.h"
#include "tests/sim/board/device_programs.h"
#include "tests/support/case_name.h"

namespace korvasim {
namespace {

using case_print::operator<<;

const int TIMEOUT_MS = DEVICE_TIMEOUT_MS;

struct WindowCase {
    const char* name;
    uint32_t parameter;
    bool faults;
    const char* fault_text;
};

class ChipSelectTest : public testing::TestWithParam<WindowCase> {};

TEST_P(ChipSelectTest, DevicesAnswerOnlyInsideTheirWindow)
{
    Board board;
    run_to_end(board, "chip_selects", GetParam().parameter);
    if (GetParam().faults) {
        EXPECT_NE(board.fault().find(GetParam().fault_text), std::string::npos) << board.fault();
    } else {
        EXPECT_NE(board.fault().find(UNDEFINED), std::string::npos) << board.fault();
        EXPECT_EQ(board.reg(4), 0xA5u);
        EXPECT_EQ(board.sram().cells()[0x123], 0xA5);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Devices, ChipSelectTest,
    testing::Values(
        WindowCase{"SramBeforeSetUp", 0, true, "write at 0x52000123, outside the set-up window of chip select 2"},
        WindowCase{"SramAfterSetUp", 1, false, ""},
        WindowCase{"PastTheSramWindow", 3, true, "read at 0x52040000"},
        WindowCase{"FlashAfterSetUp", 5, false, ""}),
    CaseName());

TEST(Core, LittleEndianUntilControlBitSevenThenBigEndian)
{
    Board board;
    run_to_end(board, "little_endian");
    EXPECT_EQ(board.reg(4), 0x44u);
    EXPECT_EQ(board.reg(5), 0x3344u);
    EXPECT_EQ(board.reg(6), 0x112233AAu);
    EXPECT_EQ(boot_word(board, 0x800), 0x112233AAu);
    EXPECT_EQ(board.reg(7), 0x88u);
    EXPECT_EQ(board.reg(8), 0x11u);
    EXPECT_EQ(board.reg(9), 0x55u);
}

struct BootDeviceCase {
    const char* name;
    uint32_t cs0;
    uint32_t read_back;     // r4 for a board that ends on the halt
    uint32_t kept;          // the RAM word at the end
    const char* fault_text; // else the fault it ends on
    const char* program = "boot_device";
};

class BootDeviceTest : public testing::TestWithParam<BootDeviceCase> {};

TEST_P(BootDeviceTest, ChipSelectZeroGatesTheBootRam)
{
    Board board;
    run_to_end(board, GetParam().program, GetParam().cs0);
    EXPECT_NE(board.fault().find(GetParam().fault_text), std::string::npos) << board.fault();
    if (board.fault().find(UNDEFINED) != std::string::npos) {
        EXPECT_EQ(board.reg(4), GetParam().read_back);
    }
    EXPECT_EQ(boot_word(board, 0x800), GetParam().kept);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, BootDeviceTest,
    testing::Values(
        BootDeviceCase{"AsTheStartUpSetsIt", EXP_TIMING_CS0_VALUE, 0x55667788, 0x55667788, UNDEFINED},
        BootDeviceCase{"WriteEnableOff", EXP_TIMING_CS0_VALUE & ~2u, 0x11223344, 0x11223344, UNDEFINED},
        BootDeviceCase{"SixteenBitBus", EXP_TIMING_CS0_VALUE & ~1u, 0xFF66FF88, 0xFF66FF88, ""},
        BootDeviceCase{"Disabled", EXP_TIMING_CS0_VALUE & ~0x80000000u, 0, 0x11223344, "UNMAPPED"},
        BootDeviceCase{"WindowSmallerThanTheRam", 0x80400403, 0, 0x11223344, "UNMAPPED"},
        // The same gates while the core is still little-endian: a byte on its lane.
        BootDeviceCase{"LittleEndianAsGiven", EXP_TIMING_CS0_VALUE, 0x112233AA, 0x112233AA, UNDEFINED,
                       "boot_device_little_endian"},
        BootDeviceCase{"LittleEndianWriteEnableOff", EXP_TIMING_CS0_VALUE & ~2u, 0x11223344, 0x11223344,
                       UNDEFINED, "boot_device_little_endian"}),
    CaseName());

struct SdramCase {
    const char* name;
    uint32_t flags;         // parameter bits 0-4
    uint32_t first_wait;    // delay-loop passes after the first command
    uint32_t wait;          // and after each of the others
    uint32_t reads;         // what the stored words read back as, besides
                            // themselves (all ones: no data; 0: lost)
};

class SdramBringUpTest : public testing::TestWithParam<SdramCase> {};

const uint32_t HOLDS = 1;  // as SdramCase::reads: the words read back

TEST_P(SdramBringUpTest, SdramHoldsDataOnlyAfterTheWholeSequence)
{
    const SdramCase& c = GetParam();
    Board board;
    run_to_end(board, "sdram_bring_up", c.flags | c.wait << 8 | (c.first_wait / 256) << 16);
    ASSERT_NE(board.fault().find(UNDEFINED), std::string::npos) << board.fault();
    // Before the switch address 0 shows the boot RAM, after it the SDRAM.
    EXPECT_EQ(board.reg(4), boot_word(board, 0));
    EXPECT_EQ(board.reg(7), boot_word(board, 0));
    EXPECT_EQ(board.reg(5), c.reads == HOLDS ? 0x11223344u : c.reads);
    EXPECT_EQ(board.reg(6), c.reads == HOLDS ? 0xCAFEF00Du : c.reads);
    EXPECT_FALSE(board.expansion_bus().mem_map());
}

// Passes that keep well clear of the chip's minimum waits, above and below.
const uint32_t LONG = 0x10000, ENOUGH = 100;

INSTANTIATE_TEST_SUITE_P(
    Devices, SdramBringUpTest,
    testing::Values(SdramCase{"Complete", 7, LONG, ENOUGH, HOLDS},
                    SdramCase{"NoPowerUpCommands", 6, LONG, ENOUGH, 0xFFFFFFFF},
                    SdramCase{"NotInNormalOperation", 5, LONG, ENOUGH, 0xFFFFFFFF},
                    SdramCase{"NoRefresh", 3, LONG, ENOUGH, 0xFFFFFFFF},
                    SdramCase{"Nothing", 0, LONG, ENOUGH, 0xFFFFFFFF},
                    SdramCase{"PowerUpWaitCut", 7, 0x2000, ENOUGH, 0xFFFFFFFF},
                    SdramCase{"CommandWaitsCut", 7, LONG, 4, 0xFFFFFFFF},
                    SdramCase{"RefreshDuringTheCommands", 15, LONG, ENOUGH, 0xFFFFFFFF},
                    SdramCase{"RefreshStoppedLater", 23, LONG, ENOUGH, 0}),
    CaseName());

TEST(Devices, SdramIsNotThereBeforeTheMapSwitch)
{
    Board board;
    run_to_end(board, "bad_access");
    EXPECT_NE(board.fault().find("UC_ERR_READ_UNMAPPED"), std::string::npos) << board.fault();
    EXPECT_NE(board.fault().find("address 0x30000000"), std::string::npos) << board.fault();
    EXPECT_NE(board.fault().find("PC 0x"), std::string::npos) << board.fault();
}

TEST(Devices, AccessWidthsKeepTheCpuByteOrder)
{
    std::vector<TraceRecord> trace;
    BoardConfig config;
    config.trace = [&](const TraceRecord& r) { trace.push_back(r); };
    Board board(config);
    run_to_end(board, "access_widths");
    const uint8_t expected[] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
    EXPECT_EQ(std::vector<uint8_t>(board.sram().cells(), board.sram().cells() + 7),
              std::vector<uint8_t>(std::begin(expected), std::end(expected)));
    EXPECT_EQ(board.reg(4), 0x11223344u);
    EXPECT_EQ(board.reg(5), 0x5566u);
    EXPECT_EQ(board.reg(6), 0x77u);
    EXPECT_EQ(board.reg(7), 0x11u);
    EXPECT_EQ(board.reg(8), unsigned(SDRAM_CONFIG1_VALUE));
    ASSERT_EQ(trace.size(), 3u);  // two register writes and a read; the SRAM is not traced
    EXPECT_EQ(format_trace(trace[1]).substr(format_trace(trace[1]).find(' ')),
              " W 0xcc00e508 4 0x5760e4a6");
    EXPECT_EQ(trace[2].kind, 'R');
    EXPECT_EQ(trace[2].value, unsigned(SDRAM_CONFIG1_VALUE));
    EXPECT_LT(trace[1].instruction, trace[2].instruction);
}

uint32_t status_word(uint8_t v, uint8_t s, uint8_t b)
{
    return uint32_t(b) << 24 | uint32_t(s) << 16 | uint32_t(v) << 8;
}

TEST(Flash, QueriesAnswerAfterAFewBusyReads)
{
    Board board;
    run_to_end(board, "flash_queries");
    for (uint32_t n = 0; n < 4; ++n) {
        EXPECT_EQ(boot_word(board, 0xF00 + 4 * n), status_word(1, 0x18, 1)) << "query " << n;
        EXPECT_EQ(boot_word(board, 0xF10 + 4 * n), unsigned(FlashBlock::BUSY_READS));
    }
    EXPECT_EQ(boot_word(board, 0xF20), 0u);  // no control value, no answer
    EXPECT_EQ(board.ticks(), 4u * FlashBlock::BUSY_READS);
}

// Runs query n on the block alone and returns its status once not busy.
uint32_t query_status(Device& flash, uint32_t n)
{
    flash.write(FLASH_CONTROL, 4, FLASH_CONTROL_QUERY);
    flash.write(FLASH_CMD_STATUS, 4, FLASH_CMD_QUERY | n << 4);
    uint32_t status = FLASH_STATUS_BUSY;
    for (int reads = 0; (status & FLASH_STATUS_BUSY) && reads <= FlashBlock::BUSY_READS; ++reads)
        status = flash.read(FLASH_CMD_STATUS, 4);
    return status;
}

TEST(Flash, FieldFaultsChangeOnlyTheirField)
{
    FaultSet faults;
    ASSERT_TRUE(add_fault("flash.q1.V=0", faults));
    ASSERT_TRUE(add_fault("flash.q3.S=0x06", faults));
    ASSERT_TRUE(add_fault("flash.q3.B=5", faults));
    FlashBlock flash(faults.flash);
    EXPECT_EQ(query_status(flash, 0), status_word(1, 0x18, 1));
    EXPECT_EQ(query_status(flash, 1), status_word(0, 0x18, 1));
    EXPECT_EQ(query_status(flash, 2), status_word(1, 0x18, 1));
    EXPECT_EQ(query_status(flash, 3), status_word(1, 0x06, 5));
}

TEST(Flash, BusyBlockHoldsTheProgramInItsWait)
{
    BoardConfig config;
    ASSERT_TRUE(add_fault("flash.busy", config.faults));
    Board board(config);
    start_program(board, "flash_queries");
    EXPECT_FALSE(board.wait_halted(300));
    EXPECT_GT(board.ticks(), 1000u);
    board.power_off();
    EXPECT_EQ(board.fault(), "");  // stopped, not faulted
}

TEST(Devices, AnAccessNoRegisterTakesIsCountedAndToldOncePerAddress)
{
    korvasim::BoardConfig config;
    std::vector<std::string> told;  // written on the CPU's thread, read after it halted
    config.on_undefined_access = [&](const std::string& text) { told.push_back(text); };
    Board board(config);
    start_program(board, "undefined_registers");
    ASSERT_TRUE(board.wait_halted(TIMEOUT_MS));
    EXPECT_EQ(board.undefined_accesses(), 8u);
    EXPECT_EQ(board.ticks(), 1u) << "only the byte write is a tick";
    const std::vector<std::string> expected = {
        "write of 4 bytes at 0x50001b00: no such register, or not of that width",
        "read of 2 bytes at 0x50001000: no such register, or not of that width",
        "write of 1 byte at 0x50001005: no such register, or not of that width",
        "read of 1 byte at 0x51000000: no such register, or not of that width",
        "read of 4 bytes at 0xcc00f508: no such register, or not of that width",
        "read of 4 bytes at 0x50001800: no such register, or not of that width",
    };
    EXPECT_EQ(told, expected);
}

TEST(Devices, ImageLargerThanTheBootRamIsRefused)
{
    Board board;
    EXPECT_THROW(board.load_image(std::vector<uint8_t>(4097)), std::length_error);
    EXPECT_NO_THROW(board.load_image(std::vector<uint8_t>(4096)));
}

} // namespace
} // namespace korvasim
