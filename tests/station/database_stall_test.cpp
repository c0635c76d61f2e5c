// A database server that stops answering or restarts never stalls the
// station: the boards, the page and a request to stop go on; a restarted
// server gets its records.
#include <gtest/gtest.h>

#include <csignal>

#include "tests/station/station_fixture.h"
#include "tests/support/postgres_server.h"
#include "tests/support/session.h"
#include "tests/support/tcp_relay.h"

namespace {

// Hang guard only: a station that honours the stop ends within a second.
const int STOP_TIMEOUT_MS = 30000;

TEST(StationDatabase, ASilentServerHoldsNeitherTheBoardsNorAStop)
{
    PostgresServer server;
    if (!server.available())
        GTEST_SKIP() << server.why();
    TcpRelay proxy(server.port());
    SimulatedBoard board;
    Pty empty_fixture;
    const std::string db = "postgresql://korva@127.0.0.1:" + std::to_string(proxy.port()) + "/postgres";
    Station station({"--db", db, "--http", "0", board.port() + "=B1", empty_fixture.slave_path() + "=E1"});
    ASSERT_TRUE(station.process().wait_until(
        [&] { return station.process().err().find("dashboard at") != std::string::npos; }, STATION_TIMEOUT_MS))
        << station.process().err();
    proxy.fall_silent();
    // The board is tested through while its record waits for the server.
    ASSERT_TRUE(station.process().wait_stdout("B1: done: passed", STATION_TIMEOUT_MS)) << station.process().out();
    // CTRL-C twice (the second once the first was taken: two signals at
    // once are one): the station does not wait for the server.
    station.process().signal(SIGINT);
    ASSERT_TRUE(station.process().wait_stdout("E1: done: stopped", STATION_TIMEOUT_MS)) << station.process().out();
    station.process().signal(SIGINT);
    EXPECT_EQ(station.process().wait_exit(STOP_TIMEOUT_MS), 2) << station.process().err();
    EXPECT_NE(station.process().err().find("attempts are not in the database (" + station.dir() + "/records.json and " +
                                           station.dir() + "/report.xml have them all)"),
              std::string::npos)
        << station.process().err();
    EXPECT_EQ(station.records().at("B1")["verdict"], "passed");
}

TEST(StationDatabase, AServerRestartedMidRunGetsEveryRecord)
{
    PostgresServer server;
    if (!server.available())
        GTEST_SKIP() << server.why();
    SimulatedBoard board;
    Station station({"--db", server.uri(), board.port() + "=B1"});
    ASSERT_TRUE(station.process().wait_stdout("B1: downloading", STATION_TIMEOUT_MS)) << station.process().out();
    server.stop();
    ASSERT_TRUE(server.start());
    EXPECT_EQ(station.finish(), 0) << station.process().err();
    EXPECT_EQ(station.process().err(), "");
    Session report(KORVASTATION_PATH, ChildOptions{{"report", "--db", server.uri(), "--board", "B1"}, {}, {}});
    ASSERT_EQ(report.wait_exit(30000), 0) << report.err();
    EXPECT_NE(report.out().find("passed"), std::string::npos) << report.out();
}

} // namespace
