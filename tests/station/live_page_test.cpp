// The live page of a batch run in a real browser while korvasim boards
// run: its tiles, what happened last, the line of stations sharing a
// database, many pages and slow clients at once.
#include <gtest/gtest.h>

#include <csignal>
#include <nlohmann/json.hpp>

#include "tests/station/raw_http.h"
#include "tests/station/station_fixture.h"
#include "tests/support/postgres_server.h"
#include "tests/support/session.h"

namespace {

// The URL the station's dashboard told on its standard error.
std::string dashboard_url(Station& station)
{
    const std::string told = "korvastation: dashboard at ";
    EXPECT_TRUE(station.process().wait_until(
        [&] { return station.process().err().find("/\n", station.process().err().find(told)) != std::string::npos; },
        30000)) << station.process().err();
    const std::string& err = station.process().err();
    const size_t at = err.find(told);
    if (at == std::string::npos)
        return "";
    return err.substr(at + told.size(), err.find('\n', at) - at - told.size());
}

// Reads the dashboard's event stream at url until an event holds what, or
// timeout_ms pass; the events read.
std::string events_until(const std::string& url, const std::string& what, int timeout_ms)
{
    const int s = request(std::stoi(url.substr(url.rfind(':') + 1)),
                          "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    const std::string seen = read_until(s, what, timeout_ms);
    close(s);
    return seen;
}

TEST(Station, TheDashboardShowsTheBoardsLiveInABrowser)
{
    SimulatedBoard good, faulty("sram.d3=0");
    Station station({"--http", "0", "--passes", "100000", good.port() + "=SN1001", faulty.port() + "=SN<1002>"});
    const std::string url = dashboard_url(station);
    ASSERT_EQ(url.rfind("http://127.0.0.1:", 0), 0u) << url;
    // Pushed to a page that is open already, as it happens.
    const std::string events = events_until(url, "SRAM failed in pass 1", 60000);
    EXPECT_NE(events.find("Content-Type: text/event-stream"), std::string::npos) << events;
    EXPECT_NE(events.find("\ndata: {\"station\":"), std::string::npos) << events;
    EXPECT_NE(events.find("SRAM failed in pass 1"), std::string::npos) << events;
    const std::string dom = browse(url, station.dir());
    EXPECT_NE(dom.find("<h1 id=\"title\">korvastation "), std::string::npos) << dom;
    EXPECT_NE(dom.find("<div class=\"tile running\" data-label=\"SN1001\"><h2>SN1001</h2><div class=\"port\">" +
                       good.port() + "</div><div class=\"state\">testing: "),
              std::string::npos) << dom;
    // A label is text on the page, never markup.
    EXPECT_NE(dom.find("<h2>SN&lt;1002&gt;</h2>"), std::string::npos) << dom;
    EXPECT_NE(dom.find("<div class=\"line failure\">SRAM failed in pass 1</div>"), std::string::npos) << dom;
    EXPECT_NE(dom.find("<div class=\"station-yield\">Today ("), std::string::npos) << dom;
    // What happened last, as the event lines tell it, the label as text.
    EXPECT_NE(dom.find("SN&lt;1002&gt;: SRAM failed (pass "), std::string::npos) << dom;
    const std::string shot = station.dir() + "/dashboard.png";
    browse(url, station.dir(), shot);
    const std::string png = read_file(shot);
    EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
    EXPECT_GT(png.size(), 5000u);
    keep_screenshot(url, station.dir(), "dashboard.png");
    kill(station.process().pid(), SIGINT);
    // The page shows how the run ended until the station is stopped again.
    ASSERT_TRUE(station.wait_page_kept()) << station.process().err();
    EXPECT_NE(browse(url, station.dir()).find("<div class=\"tile stopped\" data-label=\"SN1001\">"), std::string::npos);
    kill(station.process().pid(), SIGINT);
    EXPECT_EQ(station.finish(), 2);  // stopped boards were not tested through
}

TEST(Station, AFailedBoardsDiagnosisIsOnItsTileAsSoonAsItIsKnown)
{
    // The run goes on while the faulty board is diagnosed: a fixture with
    // no board in it keeps it going.
    SimulatedBoard faulty("sram.d3=0");
    Pty empty_fixture;
    Station station({"--http", "0", faulty.port() + "=F1", empty_fixture.slave_path() + "=E1"});
    const std::string url = dashboard_url(station);
    const std::string events = events_until(url, "SRAM data line 3 stuck at 0", 60000);
    EXPECT_NE(events.find("SRAM data line 3 stuck at 0"), std::string::npos) << events;
    EXPECT_FALSE(station.process().exited());
    kill(station.process().pid(), SIGINT);
    ASSERT_TRUE(station.wait_page_kept()) << station.process().err();
    const std::string dom = browse(url, station.dir());
    EXPECT_NE(dom.find("SRAM data line 3 stuck at 0"), std::string::npos) << dom;
    kill(station.process().pid(), SIGINT);
    EXPECT_EQ(station.finish(), 2);
}

TEST(Station, TheDashboardShowsTheLineOfStationsSharingADatabase)
{
    PostgresServer server;
    if (!server.available())
        GTEST_SKIP() << server.why();
    SimulatedBoard first, second;
    Station bench_a({"--db", server.uri(), "--station", "bench A", first.port() + "=SN2001"});
    ASSERT_EQ(bench_a.finish(), 0) << bench_a.process().err();
    Station bench_b({"--db", server.uri(), "--station", "bench B", "--http", "0", "--passes", "100000",
                     second.port() + "=SN2002"});
    const std::string url = dashboard_url(bench_b);
    ASSERT_TRUE(bench_b.process().wait_stdout("SN2002: SRAM passed", 60000)) << bench_b.process().out();
    const std::string dom = browse(url, bench_b.dir());
    EXPECT_NE(dom.find("<div class=\"station-yield\">Today ("), std::string::npos) << dom;
    EXPECT_NE(dom.find("<div class=\"station-yield\">bench A: 1 board, first-pass yield 100.0%, final yield "
                       "100.0%</div>"),
              std::string::npos) << dom;
    keep_screenshot(url, bench_b.dir(), "dashboard-line.png");
    kill(bench_b.process().pid(), SIGINT);
    ASSERT_TRUE(bench_b.wait_page_kept()) << bench_b.process().err();
    kill(bench_b.process().pid(), SIGINT);
    EXPECT_EQ(bench_b.finish(), 2);
}

// The page's state now, as its script reads it.
nlohmann::json page_state(int port)
{
    const int s = request(port, "GET /state HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    // Read to the end: the server closes the connection after the state.
    const std::string answer = read_until(s, std::string(1, '\0'), 30000);
    close(s);
    const size_t body = answer.find("\r\n\r\n");
    return nlohmann::json::parse(answer.substr(body == std::string::npos ? 0 : body + 4), nullptr, false);
}

TEST(Station, ABurnInsTilesTellWhatTheOperatorNeeds)
{
    SimulatedBoard faulty("sram.d3=0"), hanging("flash.busy");
    Station station({"--http", "0", "--duration", "30m", "--silence-timeout", "4", "--retest", "1",
                     faulty.port() + "=F1", hanging.port() + "=H1"});
    const std::string url = dashboard_url(station);
    const int port = std::stoi(url.substr(url.rfind(':') + 1));
    std::map<std::string, nlohmann::json> tiles;
    bool silent_seen = false;
    auto seen_all = [&] {
        const nlohmann::json state = page_state(port);
        if (state.is_discarded() || !state.contains("boards"))
            return false;
        for (const auto& tile : state["boards"])
            tiles[tile["label"]] = tile;
        silent_seen = silent_seen || (tiles.count("H1") && tiles["H1"]["silent_s"].get<long>() >= 2);
        return tiles.count("F1") && tiles["F1"]["kind"] == "failed" && silent_seen &&
               !tiles["H1"]["earlier"].get<std::string>().empty();
    };
    EXPECT_TRUE(station.process().wait_until(seen_all, STATION_TIMEOUT_MS)) << nlohmann::json(tiles).dump();
    // Failed at once, while its burn-in goes on, with the time it has left.
    EXPECT_EQ(tiles["F1"]["state"], "failed, testing on");
    EXPECT_EQ(tiles["F1"]["burn_in"], "0 min of 30 min, 30 min left");
    // The retest of the hung board shows what its first attempt did.
    EXPECT_EQ(tiles["H1"]["earlier"], "first attempt: hung (hung in FLASH)");
    kill(station.process().pid(), SIGINT);
    ASSERT_TRUE(station.wait_page_kept()) << station.process().err();
    kill(station.process().pid(), SIGINT);
    EXPECT_EQ(station.finish(), 2);
}

TEST(Station, ADashboardBeyondLoopbackIsSaidSo)
{
    Station station({"--http", "0.0.0.0:0", "/nonexistent/port=B1"});
    ASSERT_TRUE(station.wait_page_kept()) << station.process().err();
    kill(station.process().pid(), SIGTERM);
    EXPECT_EQ(station.finish(), 2);
    const std::string& err = station.process().err();
    // A wildcard address is none to browse to: this machine's own are.
    EXPECT_NE(err.find("korvastation: dashboard at http://127.0.0.1:"), std::string::npos) << err;
    EXPECT_NE(err.find("korvastation: the dashboard can be reached from other machines ("), std::string::npos) << err;
    EXPECT_EQ(err.find("0.0.0.0"), std::string::npos) << err;
}

} // namespace
