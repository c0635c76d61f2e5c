// A served station's records against a disk that does not take them: under
// a file size limit the station lives on, says so, takes no board until the
// records can be written, blames no board nor fixture, and leaves no half
// record behind.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <nlohmann/json.hpp>

#include "tests/station/serve_station_fixture.h"
#include "tests/support/session.h"

namespace {

TEST(RecordsKept, UnderAFileSizeLimitTheStationSaysSoAndBlamesNoBoard)
{
    const std::string dir = make_temp_dir();
    PoweredBoard board(dir, "a");
    // As a shell with `ulimit -f 4` starts it; no database, whose file the
    // limit would stop at the start.
    ServeProcess station(dir, {board.fixture("A")}, "database = \"\"", {}, "ulimit -f 4;");
    const std::string alarm = "cannot write the records: the file size limit reached in " + dir + "/records";
    for (int serial = 1; serial <= 4 && station.process().out().find(alarm) == std::string::npos; ++serial) {
        ASSERT_EQ(station.post("scan", {{"text", "KV" + std::to_string(serial)}}).status, 200) << station.process().out();
        ASSERT_TRUE(station.process().wait_until([&] { return station.panel("A").value("state", "") != "testing"; },
                                                 STATION_TIMEOUT_MS));
    }
    ASSERT_TRUE(station.process().wait_until([&] { return station.process().out().find(alarm) != std::string::npos; },
                                             STATION_TIMEOUT_MS))
        << station.process().out();
    // A board's log the station could not write made it not tested, its own
    // trouble: the fixture is not suspected, and no board goes in.
    EXPECT_NE(station.panel("A").value("state", ""), "check the fixture");
    const PageAnswer refused = station.post("scan", {{"text", "KV9"}});
    EXPECT_EQ(refused.status, 400);
    EXPECT_NE(refused.body.find(alarm), std::string::npos) << refused.body;
    const std::vector<nlohmann::json> records = station.records();
    EXPECT_FALSE(records.empty());
    for (const nlohmann::json& record : records)
        EXPECT_EQ(record["verdict"], "not tested") << record.dump();
    // The record that waits is told at the end, not lost without a word.
    station.process().signal(SIGTERM);
    EXPECT_EQ(station.process().wait_exit(STATION_TIMEOUT_MS), 2) << station.process().err();
    EXPECT_NE(station.process().err().find(alarm + ": 1 attempts are in no day file\n"), std::string::npos)
        << station.process().err();
}

} // namespace
