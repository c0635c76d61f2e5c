// An instant as the records and the terminal give it: the station's local
// time with its offset, and the local day it falls on, in zones east and
// west of UTC and at a half-hour offset.
#include <gtest/gtest.h>


#include "station/run/record_text.h"
#include "tests/support/time_zone.h"

namespace korvastation {
namespace {

struct Zone {
    const char* name;
    const char* tz;  // POSIX TZ: no zone files needed
    const char* time;
    const char* day;
};

void PrintTo(const Zone& z, std::ostream* os)
{
    *os << z.name;
}

class LocalTime : public testing::TestWithParam<Zone> {
protected:
    const ScopedTimeZone zone_{GetParam().tz};
};

TEST_P(LocalTime, CarriesTheOffsetAndTheLocalDay)
{
    // 2026-12-09T20:00:00.250Z
    const auto t = std::chrono::system_clock::time_point(std::chrono::milliseconds(1796846400250LL));
    EXPECT_EQ(iso_time(t), GetParam().time);
    EXPECT_EQ(day_of(t), GetParam().day);
    std::chrono::system_clock::time_point back;
    ASSERT_TRUE(instant_of(GetParam().time, &back));
    EXPECT_EQ(back, t) << "read back, the text names the same instant";
}

TEST(LocalTimeText, AnythingButATimeIsNoInstant)
{
    std::chrono::system_clock::time_point t;
    for (const char* text : {"", "2026-12-09", "2026-12-09T20:00:00Z", "2026-12-09T20:00:00.250", "2026-12-09T20:00:00.250+5",
                             "2026-12-09T20:00:00.250+05:30x", "2026-12-09T20:00:00.250Q"})
        EXPECT_FALSE(instant_of(text, &t)) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Station, LocalTime,
    testing::Values(Zone{"Utc", "UTC0", "2026-12-09T20:00:00.250Z", "2026-12-09"},
                    Zone{"EastPastMidnight", "IST-5:30", "2026-12-10T01:30:00.250+05:30", "2026-12-10"},
                    Zone{"West", "EST5", "2026-12-09T15:00:00.250-05:00", "2026-12-09"},
                    Zone{"WestHalfHour", "NST3:30", "2026-12-09T16:30:00.250-03:30", "2026-12-09"}),
    [](const testing::TestParamInfo<Zone>& info) { return std::string(info.param.name); });

} // namespace
} // namespace korvastation
