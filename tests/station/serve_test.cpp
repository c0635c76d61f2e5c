// The station serving fixtures all day, driven as an operator drives it:
// scans typed into the page in a real browser and into the terminal in
// tmux, real korvasim boards switched by their power pipes.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <httplib.h>
#include <nlohmann/json.hpp>
#include <sqlite3.h>
#include <sstream>

#include "station/store/result_store.h"
#include "tests/station/serve_station_fixture.h"
#include "tests/support/tmux_terminal.h"
#include "tests/support/web_driver.h"

namespace {

// The attempts in the station's database: label, fixture, operator, verdict.
std::vector<std::string> stored_attempts(const std::string& db)
{
    sqlite3* handle = nullptr;
    std::vector<std::string> rows;
    if (sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
        return rows;
    sqlite3_stmt* query = nullptr;
    sqlite3_prepare_v2(handle, "SELECT label, fixture, operator, verdict FROM attempts ORDER BY id", -1, &query, nullptr);
    while (query && sqlite3_step(query) == SQLITE_ROW) {
        std::string row;
        for (int c = 0; c < 4; ++c)
            row += (c ? " " : "") + std::string(reinterpret_cast<const char*>(sqlite3_column_text(query, c)));
        rows.push_back(row);
    }
    sqlite3_finalize(query);
    sqlite3_close(handle);
    return rows;
}

std::string verdicts_of(const std::vector<nlohmann::json>& records)
{
    std::string text;
    for (const auto& r : records)
        text += (text.empty() ? "" : ", ") + r["label"].get<std::string>() + " " + r["fixture"].get<std::string>() + " " +
                r["operator"].get<std::string>() + " " + r["verdict"].get<std::string>();
    return text;
}

// The station and a browser on its page, as a shift begins.
struct PageShift {
    PageShift(std::vector<std::pair<std::string, std::string>> fixtures_and_faults, const char* more = "")
        : dir(make_temp_dir())
    {
        std::vector<FixtureSetup> fixtures;
        for (const auto& [name, fault] : fixtures_and_faults) {
            boards.push_back(std::make_unique<PoweredBoard>(dir, name, fault));
            fixtures.push_back(boards.back()->fixture(name));
        }
        station = std::make_unique<ServeProcess>(dir, fixtures, std::string("silence_timeout = 3\n") + more);
        EXPECT_FALSE(station->url().empty()) << station->process().err();
        browser = std::make_unique<WebDriver>(dir);
        browser->open(station->url());
        EXPECT_TRUE(browser->wait_text("#fixture-" + fixtures_and_faults[0].first, "put a board in and scan it", 30000))
            << browser->text("body");
    }

    ~PageShift()
    {
        station->process().signal(SIGTERM);
        EXPECT_EQ(station->process().wait_exit(STATION_TIMEOUT_MS), 0) << station->process().err();
    }

    void screenshot(const std::string& name)
    {
        if (const char* folder = getenv("KORVA_SCREENSHOTS"); folder && *folder)
            browser->screenshot(std::string(folder) + "/" + name);
    }

    // The day's records and the database's rows as "label fixture operator verdict", sorted.
    std::pair<std::vector<std::string>, std::vector<std::string>> recorded()
    {
        std::vector<std::string> lines;
        for (const auto& r : station->records())
            lines.push_back(r["label"].get<std::string>() + " " + r["fixture"].get<std::string>() + " " +
                            r["operator"].get<std::string>() + " " + r["verdict"].get<std::string>());
        std::vector<std::string> stored = stored_attempts(dir + "/results.db");
        std::sort(lines.begin(), lines.end());
        std::sort(stored.begin(), stored.end());
        return {lines, stored};
    }

    std::string dir;
    std::vector<std::unique_ptr<PoweredBoard>> boards;
    std::unique_ptr<ServeProcess> station;
    std::unique_ptr<WebDriver> browser;
};

TEST(Serve, ScansOnThePageStartTheFixturesAndTheirVerdictsStay)
{
    PageShift shift({{"A", ""}, {"C", "flash.busy"}});
    WebDriver& browser = *shift.browser;
    ServeProcess& station = *shift.station;
    EXPECT_EQ(browser.focused(), "scan") << "a scanner types into the scan field from the start";
    browser.type("#operator", "ann\n");
    ASSERT_TRUE(station.process().wait_until([&] { return station.state().value("operator", "") == "ann"; }, 30000));
    // A serial number the fixture does not take is refused on the page and
    // the terminal, and starts nothing.
    browser.type("#scan", "A\n");
    browser.type("#scan", "KV 1\n");
    EXPECT_TRUE(browser.wait_text("#message", "serial number 'KV 1' refused", 30000)) << browser.text("#message");
    EXPECT_TRUE(station.process().wait_stdout("serial number 'KV 1' refused", 30000));
    EXPECT_EQ(station.panel("A")["state"], "idle");
    browser.type("#scan", "A\nKV000001\nC\nKV000003\n");
    if (browser.wait_text("#fixture-C", "testing", STATION_TIMEOUT_MS))
        shift.screenshot("operator-page-testing.png");
    ASSERT_TRUE(station.wait_panel("A", "verdict"));
    ASSERT_TRUE(station.wait_panel("C", "verdict"));
    EXPECT_TRUE(browser.wait_text("#yield", "2 boards, 50% passed first time", 30000)) << browser.text("#yield");
    const std::string a = browser.text("#fixture-A"), c = browser.text("#fixture-C");
    for (const char* part : {"take the board out", "KV000001", "PASS", "green tray"})
        EXPECT_NE(a.find(part), std::string::npos) << part << " in\n" << a;
    for (const char* part : {"KV000003", "HUNG", "FLASH"})
        EXPECT_NE(c.find(part), std::string::npos) << part << " in\n" << c;
    // Each attempt is in the day's records and the database as it ended.
    const auto [lines, stored] = shift.recorded();
    EXPECT_EQ(lines, (std::vector<std::string>{"KV000001 A ann passed", "KV000003 C ann hung"}));
    EXPECT_EQ(stored, lines);
}

TEST(Serve, AFailedBoardsPanelShowsItsDiagnosisAndWhatToDo)
{
    // The board's netlist names where to probe the diagnosed line.
    PageShift shift({{"A", ""}, {"B", "sram.d3=0"}},
                    "board.netlist = \"" DOCS_DIR "/korva-unit.net\"\nboard.nets.sram_data = \"SRAM_D{n}\"");
    WebDriver& browser = *shift.browser;
    browser.type("#scan", "A\nKV000001\nB\nKV000002\n");
    ASSERT_TRUE(browser.wait_text("#fixture-B", "diagnosis: SRAM data line 3 stuck at 0", STATION_TIMEOUT_MS))
        << browser.text("#fixture-B");
    const std::string probes = "SRAM D3: U1 pin AA4 (EX_DATA3), U7 pin 12 (DQ3), R43 pin 1";
    EXPECT_TRUE(browser.wait_text("#fixture-B", "probe " + probes, 30000)) << browser.text("#fixture-B");
    ASSERT_TRUE(shift.station->wait_panel("A", "verdict"));
    ASSERT_TRUE(browser.wait_text("#fixture-A", "PASS", STATION_TIMEOUT_MS));
    const std::string b = browser.text("#fixture-B");
    for (const char* part : {"take the board out", "KV000002", "FAIL", "SRAM failed in pass 1", "red tray"})
        EXPECT_NE(b.find(part), std::string::npos) << part << " in\n" << b;
    EXPECT_TRUE(browser.wait_text("#yield", "2 boards, 50% passed first time", 30000)) << browser.text("#yield");
    shift.screenshot("operator-page.png");
    const auto [lines, stored] = shift.recorded();
    EXPECT_EQ(lines, (std::vector<std::string>{"KV000001 A  passed", "KV000002 B  failed"}));
    EXPECT_EQ(stored, lines);
    // The records and the database keep where to probe.
    for (const auto& r : shift.station->records()) {
        if (r["label"] == "KV000002") {
            EXPECT_EQ(r["diagnosis"]["candidates"][0].value("probe_points", ""), probes) << r.dump();
        }
    }
    std::unique_ptr<korvastation::ResultStore> store;
    ASSERT_TRUE(korvastation::open_result_store(shift.dir + "/results.db", &store));
    const korvastation::StoreFilter board{"", "", "", "KV000002"};
    std::vector<korvastation::StoredAttempt> history;
    ASSERT_TRUE(store->load(board, &history));
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0].probe_points, std::vector<std::string>{probes});
}

TEST(Serve, ScansTypedIntoTheTerminal)
{
    // One fixture: the board's scan alone is enough; a board that passed
    // today is tested again only when scanned again.
    const std::string dir = make_temp_dir();
    PoweredBoard good(dir, "a");
    {
        std::ofstream config(dir + "/station.toml");
        config << "station = \"bench1\"\nrecords = \"" << dir << "/records\"\ndudedoved = \"" << DUDEDOVED_PATH
               << "\"\n[power]\non = \"echo on > {switch}\"\noff = \"echo off > {switch}\"\nshell = true\n"
               << "cycle_wait = 0.2\n[[fixture]]\nname = \"A\"\nport = \"" << good.board.port() << "\"\nswitch = \""
               << good.pipe << "\"\nserial_pattern = \"KV[0-9]{6}\"\n";
    }
    const std::string command = std::string(KORVASTATION_PATH) + " serve --config " + dir +
                                "/station.toml --operator bob";
    {
        const TmuxTerminal terminal(dir, command, 120, 40);
        auto wait_screen = [&](const std::string& text, size_t times) {
            return terminal.wait_for(text, times, STATION_TIMEOUT_MS);
        };
        ASSERT_TRUE(wait_screen("serving until stopped", 1)) << terminal.screen();
        terminal.type("KV12");
        // The operator reads an example; the terminal's log keeps the pattern too.
        ASSERT_TRUE(wait_screen("serial number 'KV12' refused: fixture A takes serial numbers like KV123456 (its", 1))
            << terminal.screen();
        terminal.type("KV000001");
        // The verdict as the terminal tells it once the board is through
        // (its power switched off too): the fixture takes the next scan.
        ASSERT_TRUE(wait_screen("A KV000001: passed: ", 1)) << terminal.screen();
        terminal.type("KV000001");
        ASSERT_TRUE(wait_screen("KV000001 passed today already: scan it again to test it again in fixture A", 1))
            << terminal.screen();
        terminal.type("KV000001");
        // Its second test of the day is its retest.
        ASSERT_TRUE(wait_screen("A KV000001: passed on retest 1: ", 1)) << terminal.screen();
    }
    const std::string records = read_file(dir + "/records/" + ServeProcess::iso_day() + "/attempts.jsonl");
    EXPECT_EQ(count_of(records, "\"operator\":\"bob\""), 2u) << records;
}

// A service's journal is all a line engineer may read: each verdict with
// its diagnosis and what to do, a fixture that stops and how to clear it,
// and the clearing itself, typed as a printed barcode would send it.
TEST(Serve, TheTerminalSaysWhatThePageSays)
{
    const std::string dir = make_temp_dir();
    PoweredBoard broken(dir, "a", "sram.d3=0");
    {
        std::ofstream config(dir + "/station.toml");
        config << "station = \"bench1\"\nrecords = \"" << dir << "/records\"\ndudedoved = \"" << DUDEDOVED_PATH
               << "\"\nhealth_window = 2\n[power]\non = \"echo on > {switch}\"\noff = \"echo off > {switch}\"\n"
               << "shell = true\ncycle_wait = 0.2\n[advice]\nfailed = \"red tray\"\n[[fixture]]\nname = \"A\"\nport = \""
               << broken.board.port() << "\"\nswitch = \"" << broken.pipe << "\"\n";
    }
    {
        const TmuxTerminal terminal(dir, std::string(KORVASTATION_PATH) + " serve --config " + dir +
                                             "/station.toml --operator bob", 240, 40);
        auto wait_screen = [&](const std::string& text, size_t times) {
            return terminal.wait_for(text, times, STATION_TIMEOUT_MS);
        };
        ASSERT_TRUE(wait_screen("serving until stopped", 1)) << terminal.screen();
        const std::string verdict = ": failed, SRAM data line 3 stuck at 0: red tray";
        terminal.type("KV1");
        ASSERT_TRUE(wait_screen("A KV1" + verdict, 1)) << terminal.screen();
        terminal.type("KV2");
        ASSERT_TRUE(wait_screen("A KV2" + verdict, 1)) << terminal.screen();
        ASSERT_TRUE(wait_screen("fixture A: check the fixture (its last 2 boards all failed: SRAM data line 3 stuck at 0); "
                                "then scan CHECKED:A or press Fixture checked on the page", 1))
            << terminal.screen();
        terminal.type("KV3");
        ASSERT_TRUE(wait_screen("KV3 not started: fixture A waits to be checked", 1)) << terminal.screen();
        terminal.type("CHECKED:A");
        ASSERT_TRUE(wait_screen("fixture A checked: it takes boards again", 1)) << terminal.screen();
    }
    const std::string events = read_file(dir + "/records/" + ServeProcess::iso_day() + "/events.jsonl");
    EXPECT_NE(events.find("\"kind\":\"fixture checked\",\"fixture\":\"A\",\"operator\":\"bob\""), std::string::npos)
        << events;
}

TEST(Serve, ASuspectFixtureTakesNoBoardUntilChecked)
{
    // A fixture whose cable is off: every board in it comes out "not
    // tested" the same way.
    const std::string dir = make_temp_dir();
    ServeProcess station(dir, {{"A", nullptr, ""}}, "health_window = 2");
    ASSERT_EQ(station.post("scan", {{"text", "KV1"}}).status, 200);
    ASSERT_TRUE(station.wait_panel("A", "verdict"));
    ASSERT_EQ(station.post("scan", {{"text", "KV2"}}).status, 200);
    ASSERT_TRUE(station.wait_panel("A", "check the fixture"));
    EXPECT_EQ(station.panel("A")["suspicion"], "its last 2 boards all not tested");
    const auto refused = station.post("scan", {{"text", "KV3"}});
    EXPECT_EQ(refused.status, 400);
    EXPECT_EQ(refused.body, "KV3 not started: fixture A waits to be checked: its last 2 boards all not tested\n");
    EXPECT_EQ(station.post("confirm-fixture", {{"fixture", "B"}}).status, 400);
    EXPECT_EQ(station.post("confirm-fixture", {{"fixture", "A"}}).status, 200);
    EXPECT_EQ(station.panel("A")["state"], "idle");
    EXPECT_EQ(station.post("scan", {{"text", "KV3"}}).status, 200);
    ASSERT_TRUE(station.wait_panel("A", "verdict"));
    EXPECT_EQ(station.records().size(), 3u);
    station.process().signal(SIGTERM);
    EXPECT_EQ(station.process().wait_exit(STATION_TIMEOUT_MS), 0);
}

TEST(Serve, AnIntermittentBoardPassesOnItsRetest)
{
    // The board fails its first power-up only: retested, it passes, and
    // its records say that its attempts disagreed.
    const std::string dir = make_temp_dir();
    PoweredBoard flaky(dir, "a", "sram.d3=0,first=1");
    ServeProcess station(dir, {flaky.fixture("A")}, "retests = 1");
    ASSERT_EQ(station.post("scan", {{"text", "KV7"}}).status, 200);
    ASSERT_TRUE(station.process().wait_until([&] { return station.records().size() == 2; }, STATION_TIMEOUT_MS));
    ASSERT_TRUE(station.wait_panel("A", "verdict"));
    EXPECT_EQ(station.panel("A")["verdict"], "passed on retest 1");
    std::vector<nlohmann::json> records = station.records();
    std::sort(records.begin(), records.end(), [](const auto& a, const auto& b) { return a["retest"] < b["retest"]; });
    EXPECT_EQ(records[0]["verdict"], "failed");
    EXPECT_EQ(records[1]["verdict"], "passed on retest 1");
    EXPECT_EQ(records[1]["intermittent"], true);
    EXPECT_EQ(records[1]["operator"], records[0]["operator"]);
    station.process().signal(SIGTERM);
    EXPECT_EQ(station.process().wait_exit(STATION_TIMEOUT_MS), 0);
}

TEST(Serve, StoppedOrKilledMidAttemptAndStartedAgain)
{
    const std::string dir = make_temp_dir();
    PoweredBoard good(dir, "a"), hanging(dir, "b", "flash.busy");
    ServeProcess station(dir, {good.fixture("A"), hanging.fixture("B")}, "silence_timeout = 600");
    ASSERT_EQ(station.post("scan", {{"text", "KV1"}, {"fixture", "A"}}).status, 200);
    ASSERT_TRUE(station.wait_panel("A", "verdict"));
    // Killed while a board is under test: what ended stays; the board in
    // flight is lost, as nothing could record it.
    ASSERT_EQ(station.post("scan", {{"text", "KV2"}, {"fixture", "B"}}).status, 200);
    ASSERT_TRUE(station.process().wait_until([&] { return station.panel("B").value("test", "") == "FLASH"; }, STATION_TIMEOUT_MS));
    station.process().signal(SIGKILL);
    station.process().wait_exit(STATION_TIMEOUT_MS);
    EXPECT_EQ(verdicts_of(station.records()), "KV1 A  passed");
    // Started again, it shows the day's boards and knows which passed.
    station.start();
    const nlohmann::json last = station.panel("A")["last"];
    ASSERT_EQ(last.size(), 1u) << station.state().dump();
    EXPECT_EQ(last[0]["serial"], "KV1");
    const auto again = station.post("scan", {{"text", "KV1"}, {"fixture", "A"}});
    EXPECT_EQ(again.body, "KV1 passed today already: scan it again to test it again in fixture A\n");
    // Stopped (SIGTERM) while a board hangs: its attempt is recorded as
    // stopped, and the station ends within seconds.
    ASSERT_EQ(station.post("scan", {{"text", "KV2"}, {"fixture", "B"}}).status, 200);
    ASSERT_TRUE(station.process().wait_until([&] { return station.panel("B").value("test", "") == "FLASH"; }, STATION_TIMEOUT_MS));
    station.process().signal(SIGTERM);
    EXPECT_EQ(station.process().wait_exit(STATION_TIMEOUT_MS), 0) << station.process().err();
    EXPECT_EQ(verdicts_of(station.records()), "KV1 A  passed, KV2 B  stopped");
    EXPECT_EQ(stored_attempts(dir + "/results.db"), (std::vector<std::string>{"KV1 A  passed", "KV2 B  stopped"}));
}

TEST(Serve, ActionsBeyondLoopbackNeedTheToken)
{
    const std::string dir = make_temp_dir();
    {
        ServeProcess open_to_all(dir, {{"A", nullptr, ""}}, "http = \"0.0.0.0:0\"");
        EXPECT_EQ(open_to_all.process().wait_exit(STATION_TIMEOUT_MS), 2);
        EXPECT_NE(open_to_all.process().err().find("korvastation: the page takes actions: it is served beyond loopback "
                                                   "(0.0.0.0) only with a token in the configuration\n"),
                  std::string::npos)
            << open_to_all.process().err();
    }
    ServeProcess station(dir, {{"A", nullptr, ""}}, "http = \"0.0.0.0:0\"\ntoken = \"k0rva-line-7\"");
    ASSERT_FALSE(station.url().empty()) << station.process().err();
    // The addresses to open, the token elided: never printed.
    EXPECT_NE(station.process().err().find("korvastation: operator's page at http://127.0.0.1:"), std::string::npos);
    EXPECT_NE(station.process().err().find("/?token=...\n"), std::string::npos) << station.process().err();
    EXPECT_NE(station.process().err().find("can be reached from other machines"), std::string::npos);
    EXPECT_NE(station.process().err().find("in place of ...\n"), std::string::npos) << station.process().err();
    EXPECT_EQ(station.process().err().find("k0rva-line-7"), std::string::npos) << station.process().err();
    EXPECT_EQ(station.post("operator", {{"name", "eve"}}).status, 403);
    EXPECT_EQ(station.post("operator", {{"name", "eve"}}, "k0rva-line-6").status, 403);
    EXPECT_EQ(station.state()["operator"], "");
    EXPECT_EQ(station.post("operator", {{"name", "ann"}}, "k0rva-line-7").status, 200);
    EXPECT_EQ(station.state()["operator"], "ann");
    // A page of another site cannot send the station's own header.
    httplib::Client plain(station.url().substr(0, station.url().size() - 1));
    EXPECT_EQ(plain.Post("/action/operator", "name=eve", "application/x-www-form-urlencoded")->status, 403);
    // Input the station refuses changes nothing.
    for (const auto& [action, fields] :
         std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>>{
             {"operator", {{"name", std::string(61, 'x')}}},
             {"operator", {{"name", "a\x1b[2J"}}},
             {"scan", {{"text", "KV1"}, {"fixture", "Z"}}},
             {"retest", {{"fixture", "A"}}},
             {"reboot", {{"fixture", "A"}}}})
        EXPECT_EQ(station.post(action, fields, "k0rva-line-7").status, 400) << action;
    EXPECT_EQ(station.state()["operator"], "ann");
    station.process().signal(SIGTERM);
    EXPECT_EQ(station.process().wait_exit(STATION_TIMEOUT_MS), 0);
}

TEST(Serve, TheLinesOwnCommandGetsEveryRecordInOrderHoweverLongItIsDown)
{
    const std::string dir = make_temp_dir();
    PoweredBoard good(dir, "a");
    // The line's system is down until the file "up" stands; then it takes
    // each record, the station's name in it.
    const std::string hook = "if [ ! -e " + dir + "/up ]; then echo mes is down >&2; exit 3; fi; cat >> " + dir + "/got";
    ServeProcess station(dir, {good.fixture("A")}, "", {"--on-attempt", hook});
    for (const char* serial : {"KV1", "KV2"}) {
        ASSERT_EQ(station.post("scan", {{"text", serial}}).status, 200);
        ASSERT_TRUE(station.wait_panel("A", "verdict"));
    }
    ASSERT_TRUE(station.process().wait_until(
        [&] { return station.state().value("hand_off", nlohmann::json::object()).value("waiting", 0) == 2; },
        STATION_TIMEOUT_MS))
        << station.state().dump();
    EXPECT_NE(station.process().out().find("--on-attempt command for KV1 failed with status 3 (mes is down); tried "
                                           "again in 1 s ("),
              std::string::npos)
        << station.process().out();
    // Stopped while the records wait, started again once the system is up.
    station.process().signal(SIGTERM);
    EXPECT_EQ(station.process().wait_exit(STATION_TIMEOUT_MS), 0);
    std::ofstream(dir + "/up");
    station.start({"--on-attempt", hook});
    ASSERT_TRUE(station.process().wait_until([&] { return count_of(read_file(dir + "/got"), "\n") == 2; },
                                             STATION_TIMEOUT_MS));
    std::istringstream got(read_file(dir + "/got"));
    std::string first, second;
    std::getline(got, first);
    std::getline(got, second);
    EXPECT_EQ(nlohmann::json::parse(first)["label"], "KV1");
    EXPECT_EQ(nlohmann::json::parse(second)["label"], "KV2");
    EXPECT_EQ(nlohmann::json::parse(first)["station"], "bench1");
    station.process().signal(SIGTERM);
    EXPECT_EQ(station.process().wait_exit(STATION_TIMEOUT_MS), 0);
}

} // namespace
