// The SDRAM and SRAM pattern tests and their verbose reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "tests/firmware/monitor_session.h"
#include "tests/support/report_sizes.h"
#include "tests/support/case_name.h"

namespace {

struct ReportShape {
    size_t lines;
    size_t bytes;
};

// Splits a memory test's report into its data-bus and address-bus parts.
std::pair<std::string, std::string> split_report(const std::string& report)
{
    const size_t address = report.find("\r\nA") + 2;
    return {report.substr(0, address), report.substr(address)};
}

void expect_lines(const std::vector<std::string>& lines, size_t from,
                  const std::vector<std::string>& expected)
{
    ASSERT_LE(from + expected.size(), lines.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(lines[from + i], expected[i]) << "line " << from + i;
}

// Where each report's lines start: the line number and the lines from there.
using LineRun = std::pair<size_t, std::vector<std::string>>;

struct SoundReportCase {
    const char* name;
    const char* command;
    int data_bytes;
    int address_bytes;
    size_t data_lines;
    size_t address_lines;
    std::vector<LineRun> data;
    std::vector<LineRun> address;
};

class SoundReportTest : public testing::TestWithParam<SoundReportCase> {};

TEST_P(SoundReportTest, ReportsEveryAccess)
{
    const SoundReportCase& c = GetParam();
    Monitor monitor;
    monitor.command("v");
    const std::string answer = monitor.command(c.command);
    EXPECT_EQ(answer.substr(answer.size() - 3), ":0?");
    const auto [data, address] = split_report(report_of(answer));
    EXPECT_EQ(data.size(), unsigned(c.data_bytes));
    EXPECT_EQ(address.size(), unsigned(c.address_bytes));
    const auto d = korvasim::text_lines(data);
    const auto a = korvasim::text_lines(address);
    ASSERT_EQ(d.size(), c.data_lines);
    ASSERT_EQ(a.size(), c.address_lines);
    for (const auto& [from, expected] : c.data)
        expect_lines(d, from, expected);
    for (const auto& [from, expected] : c.address)
        expect_lines(a, from, expected);
}

INSTANTIATE_TEST_SUITE_P(
    MemoryTests, SoundReportTest,
    testing::Values(
        SoundReportCase{"Sram", "3", REPORT_SRAM_DATA_BYTES, REPORT_SRAM_ADDRESS_BYTES, 65, 77,
                        {{0, {"D52000000", " 0w1", " 0r1", " 1w0", " 0r1", " 2wfe", " 2rfe", " 3w0", " 2rfe", " 4w2"}},
                         {61, {" 1ew7f", " 1er7f", " 1fw0", " 1er7f"}}},
                        {{0, {"A52000000 40000", " 0w0", " 1w1", " 2w2", " 4w3", " 8w4"}},
                         {19, {" 20000w12", " 0r0", " 1r1"}},
                         {38, {" 20000r12", " 3ffffw0", " 3fffew1", " 3fffdw2", " 3fffbw3"}},
                         {57, {" 1ffffw12", " 3ffffr0"}},
                         {76, {" 1ffffr12"}}}},
        SoundReportCase{"Sdram", "1", REPORT_SDRAM_DATA_BYTES, REPORT_SDRAM_ADDRESS_BYTES, 257, 101,
                        {{0, {"D0", " 0w1", " 0r1", " 4w0", " 0r1", " 8wfffffffe", " 8rfffffffe", " cw0", " 8rfffffffe", " 10w2"}},
                         {253, {" 1f8w7fffffff", " 1f8r7fffffff", " 1fcw0", " 1f8r7fffffff"}}},
                        {{0, {"A0 4000000", " 0w0", " 4w1", " 8w2", " 10w3"}},
                         {25, {" 2000000w18", " 0r0", " 4r1"}},
                         {50, {" 2000000r18", " 3fffffcw0", " 3fffff8w1", " 3fffff4w2", " 3ffffecw3"}},
                         {75, {" 1fffffcw18", " 3fffffcr0"}},
                         {100, {" 1fffffcr18"}}}}),
    CaseName());

TEST(MemoryTests, QuietRunMakesTheSameAccessesAndSendsNothing)
{
    Monitor quiet;
    Monitor verbose;
    verbose.command("v");
    for (const char* test : {"1", "3"}) {
        EXPECT_EQ(quiet.command(test), ":0?");
        verbose.command(test);
    }
    korvasim::Board& q = quiet.board();
    korvasim::Board& v = verbose.board();
    EXPECT_EQ(memcmp(q.sram().cells(), v.sram().cells(), q.sram().size()), 0);
    EXPECT_EQ(memcmp(q.sdram().cells(), v.sdram().cells(), q.sdram().size()), 0);
    EXPECT_EQ(q.sram().cells()[0x20000], 0x12);
    EXPECT_EQ(q.sram().cells()[0x1FFFF], 0x12);
}

TEST(MemoryTests, SramDataLineThreeStuckLowNamesEveryPatternWithThatBit)
{
    Monitor monitor(with_faults({"sram.d3=0"}));
    monitor.command("v");
    const std::string answer = monitor.command("3");
    const auto data = korvasim::text_lines(split_report(report_of(answer)).first);
    std::vector<std::string> mismatches;
    for (const auto& line : data)
        if (line[0] == '*')
            mismatches.push_back(line);
    EXPECT_EQ(mismatches, (std::vector<std::string>{"*rfe", "*rfd", "*rfb", "*r8", "*ref", "*rdf",
                                                   "*rbf", "*r7f"}));
    expect_lines(data, 5, {" 2wfe", " 2rf6", " 3w0", " 2rf6", "*rfe"});
    EXPECT_NE(std::find(data.begin(), data.end(), " cr0"), data.end());
    // Step values 8 to 0xf lose bit 3 as well: the address test fails too.
    EXPECT_EQ(answer.substr(answer.size() - 3), ":2?");
}

TEST(MemoryTests, SramAddressLineEightStuckLowAliasesStepNine)
{
    Monitor monitor(with_faults({"sram.a8=0"}));
    monitor.command("v");
    const std::string answer = monitor.command("3");
    const auto [data, address] = split_report(report_of(answer));
    EXPECT_EQ(data.find('*'), std::string::npos);
    const auto a = korvasim::text_lines(address);
    std::vector<std::string> around_mismatches;
    for (size_t i = 1; i < a.size(); ++i)
        if (a[i][0] == '*')
            around_mismatches.push_back(a[i - 1] + "|" + a[i]);
    EXPECT_EQ(around_mismatches, (std::vector<std::string>{" 0r9|*r9", " 3ffffr9|*r9"}));
    EXPECT_EQ(answer.substr(answer.size() - 3), ":2?");
}

struct DriverCase {
    const char* fault;
    char command;
    char code;
};

void PrintTo(const DriverCase& c, std::ostream* os)
{
    *os << c.fault << " on " << c.command;
}

class DriverCodeTest : public testing::TestWithParam<DriverCase> {};

TEST_P(DriverCodeTest, LastFailingTestNamesTheCode)
{
    Monitor monitor(with_faults({GetParam().fault}));
    EXPECT_EQ(monitor.command(std::string(1, GetParam().command)),
              std::string(":") + GetParam().code + "?");
}

INSTANTIATE_TEST_SUITE_P(
    MemoryTests, DriverCodeTest,
    // Data line 7 (SRAM) or 31 (SDRAM) stuck low spoils no step value.
    testing::Values(DriverCase{"flash.q0.V=1", '3', '0'}, DriverCase{"flash.q0.V=1", '1', '0'},
                    DriverCase{"sram.d7=0", '3', '1'}, DriverCase{"sdram.d31=0", '1', '1'},
                    DriverCase{"sram.a8=0", '3', '2'}, DriverCase{"sdram.a10=0", '1', '2'},
                    DriverCase{"sram.d0=1", '3', '2'}, DriverCase{"sdram.absent", '1', '2'}));

} // namespace
