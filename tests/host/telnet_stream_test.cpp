// The telnet side of a network port: what the server sends, whole or a byte
// at a time, taken apart into the board's bytes, the negotiation's answers
// and the line settings' answers; and every 0xFF doubled on the way out.
#include <gtest/gtest.h>

#include "link/telnet_stream.h"

namespace {

using namespace telnet;

std::string bytes(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values)
        s += static_cast<char>(v);
    return s;
}

struct FromServer {
    const char* name;
    std::string sent;     // by the server, after our requests
    std::string data;     // the board's bytes we read
    std::string replies;  // what we answer
    bool binary_both_ways, com_port;
};

void PrintTo(const FromServer& c, std::ostream* os)
{
    *os << c.name;
}

class TelnetFromServer : public testing::TestWithParam<FromServer> {};

void check(Stream& s, const FromServer& c)
{
    std::string data;
    while (s.has_data())
        data += static_cast<char>(s.next_data());
    EXPECT_EQ(data, c.data);
    EXPECT_EQ(s.out(), c.replies);
    EXPECT_EQ(s.binary_both_ways(), c.binary_both_ways);
    EXPECT_EQ(s.com_port(), c.com_port);
}

TEST_P(TelnetFromServer, IsTakenApartWholeOrAByteAtATime)
{
    for (bool a_byte_at_a_time : {false, true}) {
        Stream s;
        s.request_options();
        s.out().clear();
        const std::string& sent = GetParam().sent;
        if (a_byte_at_a_time)
            for (char c : sent)
                s.take(reinterpret_cast<const unsigned char*>(&c), 1);
        else
            s.take(reinterpret_cast<const unsigned char*>(sent.data()), sent.size());
        check(s, GetParam());
    }
}

const std::string AGREED = bytes({IAC, DO, OPT_BINARY, IAC, WILL, OPT_BINARY, IAC, DO, OPT_COM_PORT});

INSTANTIATE_TEST_SUITE_P(
    NetworkPort, TelnetFromServer,
    testing::Values(
        FromServer{"AgreementIsNotAnswered", AGREED, "", "", true, true},
        FromServer{"DoubledFFIsOneDataByte", AGREED + "A" + bytes({IAC, IAC}) + "B", "A\xff" "B", "", true, true},
        FromServer{"UnwantedOptionsAreRefusedOnce", bytes({IAC, DO, 1, IAC, WILL, 1, IAC, DO, 24}), "",
                   bytes({IAC, WONT, 1, IAC, DONT, 1, IAC, WONT, 24}), false, false},
        FromServer{"ARefusalIsTakenWithoutAnAnswer", bytes({IAC, DONT, OPT_BINARY, IAC, WONT, OPT_BINARY}), "", "", false,
                   false},
        FromServer{"CommandsAmongDataAreNotData",
                   "ab" + bytes({IAC, 241}) + AGREED + "c" + bytes({IAC, WILL, OPT_SGA}) + "d", "abcd", "", true, true},
        FromServer{"APurgeAnswerDropsWhatCameBefore",
                   AGREED + "stale" + bytes({IAC, SB, OPT_COM_PORT, SERVER_OFFSET + PURGE_DATA, PURGE_BOTH, IAC, SE}) + "?",
                   "?", "", true, true}),
    [](const testing::TestParamInfo<FromServer>& info) { return std::string(info.param.name); });

TEST(TelnetStream, AskingAgainForAnOptionTurnedOffIsAnswered)
{
    // The server turned BINARY off and on again: the second DO is a request
    // of its own, and it gets its WILL.
    Stream s;
    s.request_options();
    s.out().clear();
    const std::string sent = AGREED + bytes({IAC, DONT, OPT_BINARY, IAC, DO, OPT_BINARY});
    s.take(reinterpret_cast<const unsigned char*>(sent.data()), sent.size());
    EXPECT_EQ(s.out(), bytes({IAC, WONT, OPT_BINARY, IAC, WILL, OPT_BINARY}));
    EXPECT_TRUE(s.binary_both_ways());
}

TEST(TelnetStream, AnOptionWeDoNotTakeIsRefusedOnce)
{
    // A server that asks again and again gets one answer: a server that
    // does not read would otherwise have them pile up without end.
    Stream s;
    std::string sent;
    for (int i = 0; i < 100; ++i)
        sent += bytes({IAC, DO, 5, IAC, WILL, 5});
    s.take(reinterpret_cast<const unsigned char*>(sent.data()), sent.size());
    EXPECT_EQ(s.out(), bytes({IAC, WONT, 5, IAC, DONT, 5}));
}

TEST(TelnetStream, TheLineSettingsAnswersAreUnescaped)
{
    Stream s;
    const std::string sent = bytes({IAC, SB, OPT_COM_PORT, SERVER_OFFSET + SET_BAUDRATE, 0, IAC, IAC, 0xc2, 0, IAC, SE});
    s.take(reinterpret_cast<const unsigned char*>(sent.data()), sent.size());
    EXPECT_EQ(s.answers()[SET_BAUDRATE], bytes({0, 0xff, 0xc2, 0}));
}

TEST(TelnetStream, EveryFFGoingOutIsDoubled)
{
    Stream s;
    for (int b : {0x00, 0xff, 0x41, 0xff})
        s.queue_byte(static_cast<unsigned char>(b));
    s.queue_com_port(SET_BAUDRATE, bytes({0, 0xff, 0xc2, 0}));
    EXPECT_EQ(s.out(), bytes({0x00, 0xff, 0xff, 0x41, 0xff, 0xff, IAC, SB, OPT_COM_PORT, SET_BAUDRATE, 0, 0xff, 0xff,
                              0xc2, 0, IAC, SE}));
}

TEST(TelnetStream, OurRequestsAskForBinaryBothWaysAndTheComPort)
{
    Stream s;
    s.request_options();
    EXPECT_EQ(s.out(), bytes({IAC, WILL, OPT_BINARY, IAC, DO, OPT_BINARY, IAC, WILL, OPT_COM_PORT, IAC, WILL, OPT_SGA, IAC,
                              DO, OPT_SGA}));
}

TEST(TelnetStream, AServerThatFloodsWhileNothingIsReadKeepsOnlyTheNewestBytes)
{
    // A server that sends the board's bytes before the negotiation is
    // through, faster than they are read, costs a bounded buffer; what is
    // kept is the newest, so the board's latest prompt is not lost.
    Stream s;
    const std::string block(4096, 'x');
    for (int i = 0; i < 1024; ++i)
        s.take(reinterpret_cast<const unsigned char*>(block.data()), block.size());
    const std::string last = "prompt";
    s.take(reinterpret_cast<const unsigned char*>(last.data()), last.size());
    std::string data;
    while (s.has_data())
        data += static_cast<char>(s.next_data());
    EXPECT_EQ(data.size(), 64u * 1024u);
    EXPECT_EQ(data.substr(data.size() - last.size()), last);
}

} // namespace
