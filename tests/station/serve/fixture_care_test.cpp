// Fixtures kept fit: each counts the boards put into it across restarts
// until its maintenance is recorded, and a fixture with a golden board
// takes no production board until that board has passed in it.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "station/run/installation.h"
#include "station/store/result_store.h"
#include "tests/station/serve/served_station_fixture.h"
#include "tests/support/time_zone.h"

namespace korvastation {
namespace {

std::vector<nlohmann::json> lines_of(const std::string& text)
{
    std::vector<nlohmann::json> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(nlohmann::json::parse(line));
    return lines;
}

class FixtureCare : public ServedStationTest {
protected:
    // Scans serial into F1 and turns until its verdict stands.
    void test_in_f1(const std::string& serial)
    {
        ASSERT_EQ(scan(serial, "F1").status, 200) << serial;
        ASSERT_TRUE(turn_until([&] { return panel("F1").state != Fixture::State::TESTING; })) << serial;
    }

    std::string events() const
    {
        return read_file(config_.records_dir + "/" + day_of(std::chrono::system_clock::now()) + "/events.jsonl");
    }
};

TEST_F(FixtureCare, BoardsPutInAreCountedAcrossRestartsUntilTheMaintenance)
{
    config_.fixtures.resize(1);
    config_.fixtures[0].max_cycles = 2;
    tool_->plan("p1", "pass");
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(test_in_f1("KV1"));
    EXPECT_EQ(panel("F1").cycles, 1);
    EXPECT_FALSE(panel("F1").maintenance_due);
    // A retest of the board left in the fixture is no new insertion.
    ASSERT_EQ(station_->act({"retest", {{"fixture", "F1"}}}).status, 200);
    ASSERT_TRUE(turn_until([&] { return panel("F1").state == Fixture::State::VERDICT; }));
    EXPECT_EQ(panel("F1").cycles, 1);
    ASSERT_NO_FATAL_FAILURE(restart());
    EXPECT_EQ(panel("F1").cycles, 1) << "the count outlives the station";
    ASSERT_NO_FATAL_FAILURE(test_in_f1("KV2"));
    EXPECT_EQ(panel("F1").cycles, 2);
    EXPECT_TRUE(panel("F1").maintenance_due);
    // Due, the fixture still tests.
    ASSERT_NO_FATAL_FAILURE(test_in_f1("KV3"));
    std::vector<long> counted;
    for (const nlohmann::json& r : lines_of(day_file()))
        counted.push_back(r.at("fixture_cycles").get<long>());
    EXPECT_EQ(counted, (std::vector<long>{1, 1, 2, 3}));

    const ActionReply done = station_->act({"maintenance-done", {{"fixture", "F1"}}});
    EXPECT_EQ(done.status, 200);
    EXPECT_EQ(panel("F1").cycles, 0);
    EXPECT_FALSE(panel("F1").maintenance_due);
    EXPECT_NE(events().find("\"kind\":\"maintenance done\",\"fixture\":\"F1\",\"operator\":\"\",\"detail\":\"after 3 boards\""),
              std::string::npos)
        << events();
    EXPECT_EQ(station_->act({"maintenance-done", {{"fixture", "F9"}}}).message, "no fixture 'F9' at this station");
    ASSERT_NO_FATAL_FAILURE(restart());
    EXPECT_EQ(panel("F1").cycles, 0);
}

TEST_F(FixtureCare, CountsThatAreNotTheStationsOwnStopItsStart)
{
    ASSERT_TRUE(make_dirs(config_.records_dir));
    for (const char* text : {"[1, 2]", "{\"F1\": -3}", "{\"F1\": \"many\"}", "{\"F1\": 3"}) {
        std::ofstream(config_.records_dir + "/fixture-cycles.json") << text;
        ServedStation station(config_, terminal_, -1);
        const korvasim::Result opened = station.open();
        ASSERT_FALSE(opened) << text;
        EXPECT_EQ(opened.why().rfind(config_.records_dir + "/fixture-cycles.json: ", 0), 0u) << opened.why();
        EXPECT_NE(opened.why().find("mend or remove it"), std::string::npos) << opened.why();
    }
}

TEST_F(FixtureCare, AGoldenBoardProvesItsFixtureFirstAndIsNoProductionBoard)
{
    config_.fixtures.resize(1);
    config_.fixtures[0] = fixture_of("F1", dir_ + "/p1", "", "KV[0-9]{6}");
    config_.fixtures[0].golden = "KVG1";
    tool_->plan("p1", "pass");
    ASSERT_NO_FATAL_FAILURE(start());
    EXPECT_EQ(panel("F1").golden_due, "KVG1");
    EXPECT_EQ(scan("KV000001", "F1").message,
              "KV000001 not started: fixture F1 waits for its golden board KVG1: test it first");
    // Its serial number need not be a production one's.
    EXPECT_EQ(scan("KVG1", "F1").message, "golden board KVG1 into fixture F1");
    ASSERT_TRUE(turn_until([&] { return panel("F1").state == Fixture::State::VERDICT; }));
    EXPECT_EQ(panel("F1").golden_due, "");
    ASSERT_NO_FATAL_FAILURE(test_in_f1("KV000001"));
    // Tested again, it is not a board that passed today already.
    EXPECT_EQ(scan("KVG1", "F1").message, "golden board KVG1 into fixture F1");
    ASSERT_TRUE(turn_until([&] { return panel("F1").state == Fixture::State::VERDICT; }));
    const std::vector<nlohmann::json> records = lines_of(day_file());
    ASSERT_EQ(records.size(), 3u);
    EXPECT_TRUE(records[0].value("golden", false));
    EXPECT_FALSE(records[1].value("golden", false));
    EXPECT_EQ(records[2].at("retest"), 0) << "a golden board's attempts are no production board's retests";
    EXPECT_TRUE(turn_until([&] { return station_->snapshot(Clock::now()).mine.boards == 1; }))
        << "the yield counts production boards only";
    // A restart the same day knows it passed.
    ASSERT_NO_FATAL_FAILURE(restart());
    EXPECT_EQ(panel("F1").golden_due, "");
    std::unique_ptr<ResultStore> store;
    ASSERT_TRUE(open_result_store(config_.settings.db, &store));
    YieldTally tally;
    ASSERT_TRUE(turn_until([&] { return count_all(*store, {}, &tally) && tally.total.boards == 1; }))
        << tally.total.boards;
}

TEST_F(FixtureCare, AGoldenBoardThatDoesNotPassAtOnceStopsItsFixture)
{
    struct Case {
        const char* plan;
        int retests;
        std::string why;
    };
    for (const Case& c : std::vector<Case>{{"fail SRAM", 0, "its golden board KVG1 failed SRAM"},
                                           {"hang FLASH", 0, "its golden board KVG1 hung in FLASH"},
                                           {"fail SDRAM\npass", 1, "its golden board KVG1 passed only on a retest"}}) {
        SCOPED_TRACE(c.plan);
        TearDown();
        SetUp();
        config_.fixtures.resize(1);
        config_.fixtures[0].golden = "KVG1";
        config_.settings.retests = c.retests;
        config_.settings.silence_timeout_s = 1;
        tool_->plan("p1", c.plan);
        ASSERT_NO_FATAL_FAILURE(start());
        ASSERT_NO_FATAL_FAILURE(test_in_f1("KVG1"));
        ASSERT_TRUE(turn_until([&] { return panel("F1").state == Fixture::State::CHECK; }));
        EXPECT_EQ(panel("F1").suspicion, c.why);
        EXPECT_NE(terminal().find("fixture F1: check the fixture (" + c.why + "); then scan CHECKED:F1"), std::string::npos)
            << terminal();
        // Checked, the fixture still waits for its golden board to pass.
        ASSERT_EQ(scan("CHECKED:F1").status, 200);
        EXPECT_EQ(panel("F1").golden_due, "KVG1");
        EXPECT_EQ(scan("KV2", "F1").message, "KV2 not started: fixture F1 waits for its golden board KVG1: test it first");
    }
}

struct GoldenTurn {
    const char* name;
    double every_s;
    const char* passed;  // when it last passed; "" never
    const char* now;
    bool due;
};

void PrintTo(const GoldenTurn& c, std::ostream* os)
{
    *os << c.name;
}

class GoldenBoardTurn : public testing::TestWithParam<GoldenTurn> {};

TEST_P(GoldenBoardTurn, ComesFirstEachDayAndAgainAfterItsTime)
{
    const ScopedTimeZone zone("CET-1");
    const StationSettings settings;
    FixtureSpec spec = fixture_of("F1", "/dev/ttyUSB0");
    spec.golden = "KVG1";
    spec.golden_every_s = GetParam().every_s;
    Fixture fixture(spec, settings, 3);
    std::chrono::system_clock::time_point passed, now;
    if (*GetParam().passed) {
        ASSERT_TRUE(instant_of(GetParam().passed, &passed));
        fixture.golden_passed(passed);
    }
    ASSERT_TRUE(instant_of(GetParam().now, &now));
    EXPECT_EQ(fixture.golden_due(now), GetParam().due);
    EXPECT_EQ(fixture.busy("KV1", now).empty(), !GetParam().due);
    EXPECT_EQ(fixture.busy("KVG1", now), "") << "the golden board itself is always taken";
}

INSTANTIATE_TEST_SUITE_P(
    Station, GoldenBoardTurn,
    testing::Values(GoldenTurn{"NeverPassed", 0, "", "2026-12-10T08:00:00.000+01:00", true},
                    GoldenTurn{"PassedThisMorning", 0, "2026-12-10T06:00:00.000+01:00", "2026-12-10T23:00:00.000+01:00", false},
                    GoldenTurn{"PassedLastNight", 0, "2026-12-09T23:30:00.000+01:00", "2026-12-10T00:10:00.000+01:00", true},
                    GoldenTurn{"WithinItsTime", 8 * 3600.0, "2026-12-10T06:00:00.000+01:00", "2026-12-10T13:59:59.000+01:00", false},
                    GoldenTurn{"ItsTimeIsUp", 8 * 3600.0, "2026-12-10T06:00:00.000+01:00", "2026-12-10T14:00:00.000+01:00", true},
                    // The day is the station's local one: 23:30 UTC is the next day here.
                    GoldenTurn{"TheLocalDayTurned", 0, "2026-12-10T22:00:00.000Z", "2026-12-10T23:30:00.000Z", true}),
    [](const testing::TestParamInfo<GoldenTurn>& info) { return std::string(info.param.name); });

} // namespace
} // namespace korvastation
