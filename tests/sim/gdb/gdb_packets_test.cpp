// The debugger's wire format: framing, checksums, escapes, and the reader
// that cuts a byte stream into packets.
#include <gtest/gtest.h>

#include "tests/support/case_name.h"
#include "sim/gdb/gdb_packets.h"

namespace {

using korvasim::gdb::PacketReader;
using Kind = PacketReader::Kind;

std::vector<PacketReader::Event> read_all(const std::string& bytes)
{
    PacketReader reader;
    std::vector<PacketReader::Event> events;
    reader.feed(bytes.data(), bytes.size(), &events);
    return events;
}

TEST(GdbPackets, FrameChecksumsTheEscapedBody)
{
    EXPECT_EQ(korvasim::gdb::frame("OK"), "$OK#9a");
    EXPECT_EQ(korvasim::gdb::frame(""), "$#00");
    // '}' '#' '$' '*' travel as '}' and the byte XOR 0x20.
    EXPECT_EQ(korvasim::gdb::frame("a#b"), "$a}\x03" "b#43");
    EXPECT_EQ(korvasim::gdb::frame("}$*"), "$}]}\x04}\x0a#e2");
}

TEST(GdbPackets, WhatIsFramedReadsBackAsItWas)
{
    std::string every_byte;
    for (int c = 0; c < 256; ++c)
        every_byte += static_cast<char>(c);
    const auto events = read_all(korvasim::gdb::frame(every_byte));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::PACKET);
    EXPECT_EQ(events[0].payload, every_byte);
}

TEST(GdbPackets, AStreamFedByteByByteGivesTheSameEvents)
{
    const std::string stream = "+$g#67\x03-$m0,4#fd";
    PacketReader reader;
    std::vector<PacketReader::Event> events;
    for (char c : stream)
        reader.feed(&c, 1, &events);
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[0].kind, Kind::ACK);
    EXPECT_EQ(events[1].payload, "g");
    EXPECT_EQ(events[2].kind, Kind::INTERRUPT);
    EXPECT_EQ(events[3].kind, Kind::NACK);
    EXPECT_EQ(events[4].payload, "m0,4");
}

struct StreamCase {
    const char* name;
    std::string bytes;
    std::vector<Kind> kinds;
};

class GdbStreamTest : public testing::TestWithParam<StreamCase> {};

TEST_P(GdbStreamTest, GivesTheseEvents)
{
    std::vector<Kind> kinds;
    for (const auto& e : read_all(GetParam().bytes))
        kinds.push_back(e.kind);
    EXPECT_EQ(kinds, GetParam().kinds);
}

INSTANTIATE_TEST_SUITE_P(
    GdbPackets, GdbStreamTest,
    testing::Values(
        StreamCase{"WrongChecksum", "$g#00", {Kind::BAD_PACKET}},
        StreamCase{"ChecksumNotHex", "$g#zz", {Kind::BAD_PACKET}},
        StreamCase{"UpperCaseChecksum", "$m0,4#FD", {Kind::PACKET}},
        StreamCase{"NoiseBetweenPacketsIsIgnored", "xyz\r\n$g#67", {Kind::PACKET}},
        StreamCase{"RestartedPacketDropsTheCutOne", "$m0,$g#67", {Kind::PACKET}},
        StreamCase{"UnfinishedPacketGivesNothingYet", "$g#6", {}},
        StreamCase{"OversizedBody", "$" + std::string(korvasim::gdb::PACKET_SIZE + 1, 'a') + "#00",
                   {Kind::BAD_PACKET}},
        StreamCase{"InterruptInsideAPacketIsData", "$\x03#03", {Kind::PACKET}},
        StreamCase{"EmptyPacket", "$#00", {Kind::PACKET}}),
    CaseName());

struct NumberCase {
    const char* name;
    const char* text;
    bool valid;
    uint32_t value;
};

class GdbNumberTest : public testing::TestWithParam<NumberCase> {};

TEST_P(GdbNumberTest, ParsesStrictHex)
{
    uint32_t value = 0xDEAD;
    EXPECT_EQ(korvasim::gdb::parse_number(GetParam().text, &value), GetParam().valid);
    if (GetParam().valid) {
        EXPECT_EQ(value, GetParam().value);
    }
}

INSTANTIATE_TEST_SUITE_P(GdbPackets, GdbNumberTest,
                         testing::Values(NumberCase{"Zero", "0", true, 0},
                                         NumberCase{"Word", "52000000", true, 0x52000000},
                                         NumberCase{"MixedCase", "aBcD", true, 0xABCD},
                                         NumberCase{"Empty", "", false, 0},
                                         NumberCase{"NineDigits", "100000000", false, 0},
                                         NumberCase{"Sign", "-1", false, 0},
                                         NumberCase{"Prefix", "0x10", false, 0},
                                         NumberCase{"Space", " 1", false, 0}),
                         CaseName());

TEST(GdbPackets, HexRoundTripAndRejects)
{
    const uint8_t bytes[] = {0x00, 0x7f, 0x80, 0xff};
    const std::string hex = korvasim::gdb::to_hex(bytes, sizeof bytes);
    EXPECT_EQ(hex, "007f80ff");
    std::vector<uint8_t> back;
    ASSERT_TRUE(korvasim::gdb::from_hex(hex, &back));
    EXPECT_EQ(back, std::vector<uint8_t>(std::begin(bytes), std::end(bytes)));
    EXPECT_FALSE(korvasim::gdb::from_hex("abc", &back));
    EXPECT_FALSE(korvasim::gdb::from_hex("0g", &back));
}

} // namespace
