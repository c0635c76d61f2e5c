// The operator's page in a real browser as operators work it: every press
// of a button reaches the station however long it is held while other
// fixtures stream their updates, and each open page (and the terminal) is
// a scanning point of its own. The boards are a scripted dudedoved's, so
// that a press is the test's only wait.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <map>
#include <csignal>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <thread>

#include "tests/station/serve_station_fixture.h"
#include "tests/station/support/scripted_tool.h"
#include "tests/support/tmux_terminal.h"
#include "tests/support/web_driver.h"

namespace {

const int PRESSES = 20;

// Scans into a fixture, one board after another, from a scanning point of
// the test's own, until the test ends: the page gets a change every few
// hundred milliseconds.
class Streamer {
public:
    Streamer(ServeProcess& station, const std::string& fixture) : thread_([this, &station, fixture] {
        for (int n = 0; !stop_; ++n) {
            station.post("scan", {{"text", fixture}, {"point", "streamer"}});
            station.post("scan", {{"text", "ST" + std::to_string(n)}, {"point", "streamer"}});
            usleep(100 * 1000);
        }
    })
    {
    }
    ~Streamer()
    {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The records of a fixture in the day's file.
size_t records_of(ServeProcess& station, const std::string& fixture)
{
    size_t n = 0;
    for (const auto& r : station.records())
        n += r.value("fixture", "") == fixture;
    return n;
}

// How long the press number i is held: from 50 to 800 ms across the presses.
int hold_ms(int i)
{
    return 50 + i * 750 / (PRESSES - 1);
}

class OperatorPage : public testing::Test {
protected:
    // more: the station's lines; fixtures: lines of a fixture's own, by name.
    void start(const std::string& more, std::map<std::string, std::string> fixtures = {})
    {
        dir_ = make_temp_dir();
        tool_ = std::make_unique<ScriptedTool>(dir_);
        tool_->plan("no-board-A", "pass");
        tool_->plan("no-board-B", "pass");
        tool_->plan("no-board-C", "fail SRAM");
        // The scripted tool opens no port; the station is shown one that is there.
        for (const char* name : {"A", "B", "C"})
            std::ofstream(dir_ + "/no-board-" + name);
        station_ = std::make_unique<ServeProcess>(
            dir_, std::vector<FixtureSetup>{{"A", nullptr, "", fixtures["A"]}, {"B", nullptr, "", fixtures["B"]}, {"C", nullptr, "", fixtures["C"]}},
            "# no power\ndudedoved = \"" + tool_->path() + "\"\n" + more);
        ASSERT_FALSE(station_->url().empty()) << station_->process().err();
        browser_ = std::make_unique<WebDriver>(dir_);
        browser_->open(station_->url());
        // The panels are drawn.
        ASSERT_TRUE(browser_->wait_text("#fixture-C h2", "C", 30000)) << browser_->text("body");
        // Counts each time a button shows that its action went out.
        browser_->script("window.sent = 0; new MutationObserver(ms => { for (const m of ms) "
                         "if (m.target.classList.contains('sent')) window.sent++; })"
                         ".observe(document.body, {subtree: true, attributeFilter: ['class']}); return 0;");
    }

    void TearDown() override
    {
        if (!station_)
            return;
        station_->process().signal(SIGTERM);
        EXPECT_EQ(station_->process().wait_exit(STATION_TIMEOUT_MS), 0) << station_->process().err();
    }

    std::string dir_;
    std::unique_ptr<ScriptedTool> tool_;
    std::unique_ptr<ServeProcess> station_;
    std::unique_ptr<WebDriver> browser_;
};

TEST_F(OperatorPage, EveryRetestPressReachesTheStation)
{
    ASSERT_NO_FATAL_FAILURE(start(""));
    ASSERT_EQ(station_->post("scan", {{"text", "KV1"}, {"fixture", "A"}}).status, 200);
    const Streamer streamer(*station_, "B");
    for (int i = 0; i < PRESSES; ++i) {
        ASSERT_TRUE(station_->wait_panel("A", "verdict")) << i;
        ASSERT_TRUE(browser_->wait_shown("#retest-A", 30000)) << i;
        ASSERT_EQ(browser_->text("#retest-A"), "Retest KV1");
        browser_->press("#retest-A", hold_ms(i));
        ASSERT_TRUE(station_->process().wait_until([&] { return records_of(*station_, "A") == size_t(i) + 2; },
                                                   STATION_TIMEOUT_MS))
            << "press " << i << " held " << hold_ms(i) << " ms was lost";
    }
    EXPECT_EQ(browser_->script("return window.sent;"), PRESSES);
    EXPECT_EQ(browser_->focused(), "scan") << "the scan field keeps the focus";
}

TEST_F(OperatorPage, EveryFixtureCheckedPressReachesTheStation)
{
    ASSERT_NO_FATAL_FAILURE(start("health_window = 1\n"));
    const Streamer streamer(*station_, "B");
    for (int i = 0; i < PRESSES; ++i) {
        ASSERT_EQ(station_->post("scan", {{"text", "KV" + std::to_string(i)}, {"fixture", "C"}}).status, 200);
        ASSERT_TRUE(station_->wait_panel("C", "check the fixture")) << i;
        ASSERT_TRUE(browser_->wait_shown("#checked-C", 30000)) << i;
        browser_->press("#checked-C", hold_ms(i));
        ASSERT_TRUE(station_->wait_panel("C", "idle")) << "press " << i << " held " << hold_ms(i) << " ms was lost";
    }
    const std::string events = read_file(dir_ + "/records/" + ServeProcess::iso_day() + "/events.jsonl");
    EXPECT_EQ(count_of(events, "\"kind\":\"fixture checked\""), size_t(PRESSES));
}

TEST_F(OperatorPage, EveryMaintenanceDonePressReachesTheStation)
{
    ASSERT_NO_FATAL_FAILURE(start("health_window = 0\n", {{"C", "max_cycles = 1\n"}}));
    const Streamer streamer(*station_, "B");
    for (int i = 0; i < PRESSES; ++i) {
        ASSERT_EQ(station_->post("scan", {{"text", "KV" + std::to_string(i)}, {"fixture", "C"}}).status, 200);
        ASSERT_TRUE(station_->process().wait_until([&] { return station_->panel("C")["maintenance_due"] == true; },
                                                   STATION_TIMEOUT_MS))
            << i;
        ASSERT_TRUE(browser_->wait_text("#fixture-C", "1 board since its maintenance: maintenance due", 30000)) << i;
        ASSERT_TRUE(browser_->wait_shown("#maintained-C", 30000)) << i;
        browser_->press("#maintained-C", hold_ms(i));
        ASSERT_TRUE(station_->process().wait_until([&] { return station_->panel("C")["cycles"] == 0; }, STATION_TIMEOUT_MS))
            << "press " << i << " held " << hold_ms(i) << " ms was lost";
    }
    const std::string events = read_file(dir_ + "/records/" + ServeProcess::iso_day() + "/events.jsonl");
    EXPECT_EQ(count_of(events, "\"kind\":\"maintenance done\""), size_t(PRESSES));
}

// What a fixture's care looks like to an operator: one waits for its golden
// board, one is past its maintenance count and still tests, one whose
// golden board failed waits to be checked.
TEST_F(OperatorPage, FixturesKeptFit)
{
    ASSERT_NO_FATAL_FAILURE(start("", {{"A", "golden = \"KVG00001\"\n"},
                                       {"B", "max_cycles = 1\n"},
                                       {"C", "golden = \"KVG00003\"\n"}}));
    EXPECT_TRUE(browser_->wait_text("#fixture-A", "test its golden board KVG00001 first", 30000)) << browser_->text("body");
    browser_->type("#fixture", "A");
    browser_->type("#scan", "KV000001\n");
    EXPECT_TRUE(browser_->wait_text("#message", "KV000001 not started: fixture A waits for its golden board KVG00001", 30000))
        << browser_->text("#message");
    ASSERT_EQ(station_->post("scan", {{"text", "KV000002"}, {"fixture", "B"}}).status, 200);
    ASSERT_EQ(station_->post("scan", {{"text", "KVG00003"}, {"fixture", "C"}}).status, 200);
    EXPECT_TRUE(browser_->wait_text("#fixture-B", "1 board since its maintenance: maintenance due", 30000))
        << browser_->text("#fixture-B");
    EXPECT_TRUE(browser_->wait_text("#fixture-B", "PASS", 30000)) << browser_->text("#fixture-B");
    EXPECT_TRUE(browser_->wait_text("#fixture-C", "its golden board KVG00003 failed SRAM", 30000))
        << browser_->text("#fixture-C");
    EXPECT_TRUE(browser_->wait_text("#fixture-C", "golden board KVG00003", 30000)) << browser_->text("#fixture-C");
    EXPECT_TRUE(browser_->wait_shown("#checked-C", 30000));
    EXPECT_TRUE(browser_->wait_shown("#maintained-B", 30000));
    if (const char* folder = getenv("KORVA_SCREENSHOTS"); folder && *folder)
        browser_->screenshot(std::string(folder) + "/operator-page-care.png");
}

// Each scanning point keeps its own selection: a label scanned at one never
// sends a serial scanned at another elsewhere, and one serial is in one
// fixture.
TEST(OperatorPages, EachPageAndTheTerminalScanForThemselves)
{
    const std::string dir = make_temp_dir();
    ScriptedTool tool(dir);
    for (const char* f : {"A1", "A2", "D"})
        tool.plan(f, "pass");
    tool.plan("C", "hang FLASH");
    std::ofstream(dir + "/station.toml") << "station = \"bench1\"\nrecords = \"" << dir << "/records\"\ndudedoved = \""
                                         << tool.path() << "\"\nhttp = \"127.0.0.1:0\"\nsilence_timeout = 600\n"
                                         << "[[fixture]]\nname = \"A1\"\nport = \"" << dir << "/A1\"\n"
                                         << "[[fixture]]\nname = \"A2\"\nport = \"" << dir << "/A2\"\n"
                                         << "[[fixture]]\nname = \"C\"\nport = \"" << dir << "/C\"\n"
                                         << "[[fixture]]\nname = \"D\"\nport = \"" << dir << "/D\"\n";
    const TmuxTerminal terminal(dir, std::string(KORVASTATION_PATH) + " serve --config " + dir + "/station.toml", 200, 50);
    ASSERT_TRUE(terminal.wait_for("serving until stopped", 1, STATION_TIMEOUT_MS)) << terminal.screen();
    const std::string screen = terminal.screen();
    const size_t at = screen.find("page at ") + 8;
    const std::string url = screen.substr(at, screen.find('\n', at) - at);
    for (const char* page : {"/p", "/q"})
        ASSERT_EQ(mkdir((dir + page).c_str(), 0755), 0);
    WebDriver p(dir + "/p"), q(dir + "/q");
    for (WebDriver* page : {&p, &q}) {
        page->open(url);
        ASSERT_TRUE(page->wait_text("#fixture-A1", "put a board in and scan it", 30000)) << page->text("body");
    }
    // The page's earlier choice of A2 gives way to the label scanned there.
    p.click("#fixture option[value=A2]");
    ASSERT_TRUE(p.wait_text("#message", "fixture A2 selected", 30000)) << p.text("#message");
    p.type("#scan", "A1\n");
    ASSERT_TRUE(p.wait_text("#message", "fixture A1 selected", 30000)) << p.text("#message");
    p.type("#scan", "SN9012\n");
    ASSERT_TRUE(p.wait_text("#message", "SN9012 into fixture A1", 30000)) << p.text("#message");
    // The terminal's label, the page's choice: each for its own scans.
    terminal.type("A1");
    p.click("#fixture option[value=A2]");
    ASSERT_TRUE(p.wait_text("#message", "fixture A2 selected", 30000)) << p.text("#message");
    terminal.type("SN9013");
    ASSERT_TRUE(terminal.wait_for("SN9013 into fixture A1", 1, STATION_TIMEOUT_MS)) << terminal.screen();
    q.type("#scan", "SN9014\n");
    EXPECT_TRUE(q.wait_text("#message", "'SN9014' is no fixture's", 30000)) << q.text("#message");
    p.type("#scan", "SN9015\n");
    EXPECT_TRUE(p.wait_text("#message", "SN9015 into fixture A2", 30000)) << p.text("#message");
    // One serial in one fixture.
    p.type("#scan", "C\nKV000106\n");
    ASSERT_TRUE(p.wait_text("#fixture-C", "KV000106", 30000)) << p.text("#fixture-C");
    q.type("#scan", "D\nKV000106\n");
    EXPECT_TRUE(q.wait_text("#message", "KV000106 not started: KV000106 is under test in fixture C", 30000))
        << q.text("#message");
    EXPECT_EQ(p.text("#message").find("KV000106 not started"), std::string::npos) << "Q's refusal is Q's";
    terminal.type("D");
    terminal.type("KV000106");
    ASSERT_TRUE(terminal.wait_for("KV000106 is under test in fixture C", 1, STATION_TIMEOUT_MS)) << terminal.screen();
    std::vector<std::string> started;
    // Told once its record is written.
    ASSERT_TRUE(terminal.wait_for("A2 SN9015: passed", 1, STATION_TIMEOUT_MS)) << terminal.screen();
    std::istringstream lines(read_file(dir + "/records/" + ServeProcess::iso_day() + "/attempts.jsonl"));
    for (std::string line; std::getline(lines, line);) {
        const auto r = nlohmann::json::parse(line);
        started.push_back(r["label"].get<std::string>() + " " + r["fixture"].get<std::string>());
    }
    std::sort(started.begin(), started.end());
    EXPECT_EQ(started, (std::vector<std::string>{"SN9012 A1", "SN9013 A1", "SN9015 A2"}));
}

} // namespace
