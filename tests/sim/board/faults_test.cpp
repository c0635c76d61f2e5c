// Memory line faults and fault specs: what each fault does to the values
// and addresses that pass the bus, and which specs are accepted.
#include <algorithm>

#include <gtest/gtest.h>

#include "sim/board/fault_schedule.h"
#include "sim/board/faults.h"
#include "sim/board/memory.h"
#include "tests/support/case_name.h"

namespace korvasim {
namespace {

using case_print::operator<<;

MemoryFaults parse(const std::string& spec)
{
    FaultSet set;
    const korvasim::Result added = add_fault(spec, set);
    EXPECT_TRUE(added) << added.why();
    return spec.rfind("sdram", 0) == 0 ? set.sdram : set.sram;
}

struct LineCase {
    const char* fault;
    uint32_t written;
    uint32_t read;
};

class DataLineTest : public testing::TestWithParam<LineCase> {};

// A byte of the SRAM or a word of the SDRAM, whichever memory the fault names.
TEST_P(DataLineTest, ValueReadBack)
{
    const bool sdram = std::string(GetParam().fault).rfind("sdram", 0) == 0;
    const unsigned width = sdram ? 4 : 1;
    Memory memory(sdram ? 0x4000000 : 0x40000, width, parse(GetParam().fault));
    memory.write(0x100, width, GetParam().written);
    EXPECT_EQ(memory.read(0x100, width), GetParam().read);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DataLineTest,
    testing::Values(LineCase{"sram.d3=0", 0xFF, 0xF7}, LineCase{"sram.d3=0", 0x08, 0x00},
                    LineCase{"sram.d7=1", 0x00, 0x80}, LineCase{"sram.d0=1", 0xFE, 0xFF},
                    // Wired-AND: a 0 on either line pulls both down.
                    LineCase{"sram.d2-d3", 0x04, 0x00}, LineCase{"sram.d2-d3", 0x08, 0x00},
                    LineCase{"sram.d2-d3", 0x0C, 0x0C}, LineCase{"sram.d2-d3", 0xF3, 0xF3},
                    LineCase{"sdram.d31=0", 0xFFFFFFFF, 0x7FFFFFFF},
                    LineCase{"sdram.d0=1", 0x00000000, 0x00000001},
                    LineCase{"sdram.d16=1", 0x12340000, 0x12350000},
                    LineCase{"sdram.d30-d31", 0x80000000, 0x00000000},
                    LineCase{"sdram.d30-d31", 0xC0000001, 0xC0000001}));

TEST(Faults, AStuckCellBitChangesThatCellAlone)
{
    Memory sram(0x40000, 1, parse("sram.cell:0x123.3=1"));
    sram.write(0x123, 1, 0x00);
    sram.write(0x124, 1, 0x00);
    EXPECT_EQ(sram.read(0x123, 1), 0x08u);
    EXPECT_EQ(sram.read(0x124, 1), 0x00u);
    Memory sdram(0x4000000, 4, parse("sdram.cell:0x200.31=0"));
    sdram.write(0x200, 4, 0xFFFFFFFF);
    EXPECT_EQ(sdram.read(0x200, 4), 0x7FFFFFFFu);
    EXPECT_EQ(sdram.read(0x200, 1), 0x7Fu);  // bit 31 is in the word's first byte
}

TEST(Faults, WritingTheAggressorForcesTheVictim)
{
    Memory sram(0x40000, 1, parse("sram.couple:0x10.0=1>0x20.7=1"));
    sram.write(0x20, 1, 0x00);
    sram.write(0x10, 1, 0xFE);  // bit 0 written 0: nothing
    EXPECT_EQ(sram.read(0x20, 1), 0x00u);
    sram.write(0x10, 1, 0x01);
    EXPECT_EQ(sram.read(0x20, 1), 0x80u);
    EXPECT_EQ(sram.read(0x10, 1), 0x01u);  // the aggressor keeps what it got
    // SDRAM bits are bits of the word: bit 31 is in the word's first byte.
    Memory sdram(0x4000000, 4, parse("sdram.couple:0x100.31=0>0x200.0=0"));
    sdram.write(0x200, 4, 0xFFFFFFFF);
    sdram.write(0x100, 4, 0x7FFFFFFF);
    EXPECT_EQ(sdram.read(0x200, 4), 0xFFFFFFFEu);
}

TEST(Faults, SdramByteLanesAreBigEndian)
{
    // Byte 0 of a word travels on data lines 31-24.
    Memory sdram(0x4000000, 4, parse("sdram.d24=0"));
    sdram.write(0x200, 4, 0);
    sdram.write(0x200, 1, 0xFF);
    sdram.write(0x203, 1, 0xFF);
    EXPECT_EQ(sdram.read(0x200, 4), 0xFE0000FFu);
    EXPECT_EQ(sdram.read(0x200, 1), 0xFEu);
    EXPECT_EQ(sdram.read(0x202, 2), 0x00FFu);
}

struct AddressCase {
    const char* fault;
    uint32_t written_at;
    uint32_t aliased_at;  // where the same cell is seen
};

class AddressLineTest : public testing::TestWithParam<AddressCase> {};

TEST_P(AddressLineTest, CellIsSeenAtTheFaultyAddress)
{
    const bool sdram = std::string(GetParam().fault).rfind("sdram", 0) == 0;
    Memory memory(sdram ? 0x4000000 : 0x40000, sdram ? 4 : 1, parse(GetParam().fault));
    const unsigned width = sdram ? 4 : 1;
    memory.write(GetParam().aliased_at, width, 0x11);
    memory.write(GetParam().written_at, width, 0x5A);
    EXPECT_EQ(memory.read(GetParam().aliased_at, width), 0x5Au);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, AddressLineTest,
    testing::Values(AddressCase{"sram.a8=0", 0x100, 0x000}, AddressCase{"sram.a8=0", 0x3FFFF, 0x3FEFF},
                    AddressCase{"sram.a0=1", 0x000, 0x001}, AddressCase{"sram.a17=1", 0x00000, 0x20000},
                    AddressCase{"sram.a3-a4", 0x08, 0x00}, AddressCase{"sram.a3-a4", 0x10, 0x00},
                    AddressCase{"sdram.a2=0", 0x004, 0x000},
                    AddressCase{"sdram.a25=1", 0x0000000, 0x2000000},
                    AddressCase{"sdram.a10-a11", 0x400, 0x000}));

TEST(Faults, SoundAddressesStayApartUnderAnAddressFault)
{
    Memory sram(0x40000, 1, parse("sram.a8=0"));
    sram.write(0x01, 1, 0x11);
    sram.write(0x02, 1, 0x22);
    EXPECT_EQ(sram.read(0x01, 1), 0x11u);
    EXPECT_EQ(sram.read(0x02, 1), 0x22u);
}

TEST(Faults, AbsentChipReadsTheLastValueDriven)
{
    Memory sram(0x40000, 1, parse("sram.absent"));
    sram.write(0x10, 1, 0xA5);
    sram.write(0x20, 1, 0x3C);
    EXPECT_EQ(sram.read(0x10, 1), 0x3Cu);
    Memory sdram(0x4000000, 4, parse("sdram.absent"));
    sdram.write(0x0, 4, 0x12345678);
    EXPECT_EQ(sdram.read(0x400, 4), 0x12345678u);
}

TEST(Faults, MemoryThatHoldsNoDataReadsAllOnes)
{
    bool ready = false;
    Memory sdram(0x4000000, 4, {}, [&] { return ready; });
    sdram.write(0x10, 4, 0x12345678);
    EXPECT_EQ(sdram.read(0x10, 4), 0xFFFFFFFFu);
    ready = true;
    EXPECT_EQ(sdram.read(0x10, 4), 0u);
    sdram.write(0x10, 4, 0x12345678);
    EXPECT_EQ(sdram.read(0x10, 4), 0x12345678u);
}

TEST(Faults, FlashSpecsSetFieldsAndBusy)
{
    FaultSet set;
    ASSERT_TRUE(add_fault("flash.q2.S=0x06", set));
    ASSERT_TRUE(add_fault("flash.q0.B=5", set));
    ASSERT_TRUE(add_fault("flash.busy", set));
    EXPECT_EQ(set.flash.field[2][1], 6);
    EXPECT_EQ(set.flash.field[0][2], 5);
    EXPECT_EQ(set.flash.field[1][0], FlashFaults::NO_OVERRIDE);
    EXPECT_TRUE(set.flash.never_ready);
}

class BadSpecTest : public testing::TestWithParam<const char*> {};

TEST_P(BadSpecTest, IsRefusedWithItsNameAndTheForms)
{
    FaultSet set;
    const korvasim::Result added = add_fault(GetParam(), set);
    EXPECT_FALSE(added);
    EXPECT_NE(added.why().find(std::string("'") + GetParam() + "'"), std::string::npos) << added.why();
    EXPECT_NE(added.why().find("flash.qK.F=VALUE"), std::string::npos) << added.why();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BadSpecTest,
    testing::Values("", "sram", "sram.", "sram.d8=0", "sdram.d32=1", "sram.d3=2", "sram.d3",
                    "sram.a18=0", "sdram.a1=0", "sdram.a26=1", "sram.d1-a2", "sram.d1-d1",
                    "sram.d1-d9", "sram.d1-", "sram.absentx", "flash.q4.V=1", "flash.q1.X=1",
                    "flash.q1.V=256", "flash.q1.V=", "flash.busyy", "dram.d1=0", "sram.d03x=0",
                    "sram.cell:0x40000.0=1", "sram.cell:0.8=1", "sram.cell:0.1=2", "sram.cell:0.1",
                    "sram.cell:.1=0", "sdram.cell:0x2.0=1", "sdram.cell:0.32=0", "sram.cell:-1.0=0",
                    "sram.couple:0x10.0=1", "sram.couple:0x10.0=1>0x10.0=0", "sram.couple:0x10.8=1>0.0=0",
                    "sdram.couple:0x1.0=1>0.0=0"));

TEST(Faults, ACellStuckBothWaysContradicts)
{
    FaultSet set;
    ASSERT_TRUE(add_fault("sram.cell:0x10.1=0", set));
    ASSERT_TRUE(add_fault("sram.cell:0x10.2=1", set));
    EXPECT_FALSE(add_fault("sram.cell:0x10.1=1", set));
    EXPECT_EQ(set.sram.cells.size(), 2u);
}

} // namespace
} // namespace korvasim

namespace korvasim {
namespace {

// Which of the first n power-ups have SRAM data line 3 stuck at 0.
std::string presence(FaultSchedule& schedule, int n)
{
    std::string seen;
    for (int i = 0; i < n; ++i)
        seen += (schedule.next_power_up().sram.data_stuck_low & 8) ? 'x' : '.';
    return seen;
}

TEST(FaultSchedule, FaultsComeOnThePowerUpsTheyAreGiven)
{
    FaultSchedule always, first_two, random_a, random_b, other_seed;
    ASSERT_TRUE(always.add("sram.d3=0"));
    ASSERT_TRUE(first_two.add("sram.d3=0,first=2"));
    ASSERT_TRUE(random_a.add("sram.d3=0,p=0.5,seed=7"));
    ASSERT_TRUE(random_b.add("sram.d3=0,p=0.5,seed=7"));
    ASSERT_TRUE(other_seed.add("sram.d3=0,p=0.5,seed=8"));
    EXPECT_EQ(presence(always, 4), "xxxx");
    EXPECT_EQ(presence(first_two, 4), "xx..");
    const std::string drawn = presence(random_a, 200);
    EXPECT_EQ(presence(random_b, 200), drawn);  // a seed gives the same board again
    EXPECT_NE(presence(other_seed, 200), drawn);
    const auto present = std::count(drawn.begin(), drawn.end(), 'x');
    EXPECT_GT(present, 60);
    EXPECT_LT(present, 140);
}

TEST(FaultSchedule, BadOrContradictingOptionsAreRefusedByName)
{
    for (const char* bad : {"sram.d3=0,", "sram.d3=0,first=0", "sram.d3=0,first=x", "sram.d3=0,p=1",
                            "sram.d3=0,p=0", "sram.d3=0,seed=3", "sram.d3=0,first=1,p=0.5",
                            "sram.d3=0,p=0.5,seed=-1", "sram.d3=0,when=2", "sram.d9=0,first=1"}) {
        FaultSchedule schedule;
        const Result added = schedule.add(bad);
        EXPECT_FALSE(added) << bad;
        EXPECT_NE(added.why().find("'" + std::string(bad).substr(0, 9)), std::string::npos) << added.why();
    }
    FaultSchedule schedule;
    ASSERT_TRUE(schedule.add("sram.d3=1"));
    EXPECT_FALSE(schedule.add("sram.d3=0,first=1"));  // both on the first power-up
}

} // namespace
} // namespace korvasim
