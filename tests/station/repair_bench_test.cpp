// The repair loop through the pages in a real browser: a test station that
// holds failed boards for their repair, and a repair bench (a station with
// no fixtures) sharing the line's database. A board fails, is refused,
// is repaired at the bench, passes; one is scrapped and refused from then
// on; one is let through by a supervisor. The boards are a scripted
// dudedoved's, so that each step is the test's own.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <httplib.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

#include "tests/station/serve_station_fixture.h"
#include "tests/station/support/scripted_tool.h"
#include "tests/support/web_driver.h"

namespace {

const int PAGE_MS = 30000;

std::string metrics_of(const ServeProcess& station)
{
    httplib::Client page(station.url().substr(0, station.url().size() - 1));
    const auto r = page.Get("/metrics");
    return r ? r->body : "";
}

// A person's typing replaces what the field held.
void fill(WebDriver& page, const std::string& field, const std::string& text)
{
    page.script("document.getElementById('" + field + "').value = ''; return 0;");
    page.type("#" + field, text);
}

class RepairBench : public testing::Test {
protected:
    void SetUp() override
    {
        dir_ = make_temp_dir();
        for (const char* sub : {"/line", "/bench", "/line-page", "/bench-page"})
            ASSERT_EQ(mkdir((dir_ + sub).c_str(), 0755), 0);
        tool_ = std::make_unique<ScriptedTool>(dir_ + "/line");
        tool_->plan("no-board-A", "fail SRAM\npass\nfail SRAM\nfail SRAM\npass");
        std::ofstream(dir_ + "/line/no-board-A");
        const std::string database = "database = \"" + dir_ + "/line.db\"\n";
        line_ = std::make_unique<ServeProcess>(dir_ + "/line", std::vector<FixtureSetup>{{"A", nullptr, "", ""}},
                                               "# no power\ndudedoved = \"" + tool_->path() + "\"\n" + database +
                                                   "[repair]\nrequire_repair = true\n");
        ASSERT_FALSE(line_->url().empty()) << line_->process().err();
        bench_ = std::make_unique<ServeProcess>(dir_ + "/bench", std::vector<FixtureSetup>{},
                                                "# no power\nstation = \"rework\"\n" + database +
                                                    "board.netlist = \"" DOCS_DIR "/korva-unit.net\"\n");
        ASSERT_FALSE(bench_->url().empty()) << bench_->process().err();
    }

    void TearDown() override
    {
        for (ServeProcess* station : {line_.get(), bench_.get()})
            if (station) {
                station->process().signal(SIGTERM);
                EXPECT_EQ(station->process().wait_exit(STATION_TIMEOUT_MS), 0) << station->process().err();
            }
    }

    // A board tested at the line to its verdict.
    void test_board(const std::string& serial, const std::string& verdict)
    {
        const PageAnswer started = line_->post("scan", {{"text", serial}, {"fixture", "A"}});
        ASSERT_EQ(started.status, 200) << started.body;
        ASSERT_TRUE(line_->process().wait_until(
            [&] { return line_->panel("A").value("state", "") == "verdict" && line_->panel("A").value("serial", "") == serial; },
            STATION_TIMEOUT_MS));
        EXPECT_EQ(line_->panel("A").value("banner", ""), verdict);
    }

    // The line's answer to a scan once it has read what the bench recorded.
    PageAnswer scan_until(const std::string& serial, const std::string& part)
    {
        PageAnswer answer;
        line_->process().wait_until([&] {
            answer = line_->post("scan", {{"text", serial}, {"fixture", "A"}});
            return answer.body.find(part) != std::string::npos;
        }, STATION_TIMEOUT_MS);
        return answer;
    }

    void look_up(WebDriver& page, const std::string& serial, const std::string& status)
    {
        fill(page, "repair-serial", serial + "\n");
        ASSERT_TRUE(page.wait_text("#repair-status", status, PAGE_MS)) << page.text("#repair") << page.text("#message");
    }

    // Failed, held until its repair is recorded at the bench, then taken
    // and passed, its attempt naming the repair.
    void repaired(WebDriver& bench)
    {
        ASSERT_NO_FATAL_FAILURE(test_board("KV000001", "FAIL"));
        const PageAnswer refused = line_->post("scan", {{"text", "KV000001"}, {"fixture", "A"}});
        EXPECT_EQ(refused.status, 400);
        EXPECT_NE(refused.body.find("KV000001 failed SRAM at "), std::string::npos) << refused.body;
        EXPECT_NE(refused.body.find(": record its repair first"), std::string::npos) << refused.body;
        ASSERT_TRUE(line_->process().wait_until(
            [&] { return metrics_of(*line_).find("korva_boards_waiting_for_repair{station=\"bench1\"} 1") != std::string::npos; },
            STATION_TIMEOUT_MS))
            << metrics_of(*line_);
        // A component the board does not have is refused.
        ASSERT_NO_FATAL_FAILURE(look_up(bench, "KV000001", "KV000001 failed SRAM at "));
        EXPECT_NE(bench.text("#repair-status").find("waiting for its repair"), std::string::npos);
        EXPECT_NE(bench.text("#repair-history").find("bench1 fixture A: failed SRAM"), std::string::npos)
            << bench.text("#repair-history");
        bench.click("#repair-action option[value=reflowed]");
        fill(bench, "repair-components", "U7, U99");
        fill(bench, "repair-technician", "Ann");
        bench.press("#repair-record", 100);
        ASSERT_TRUE(bench.wait_text("#message", "no component U99 on the board", PAGE_MS)) << bench.text("#message");
        fill(bench, "repair-components", "U7");
        bench.press("#repair-record", 100);
        ASSERT_TRUE(bench.wait_text("#message", "KV000001: reflowed U7 recorded by Ann: test it again", PAGE_MS))
            << bench.text("#message");
        ASSERT_EQ(scan_until("KV000001", "KV000001 into fixture A").status, 200);
        ASSERT_TRUE(line_->process().wait_until([&] { return line_->records().size() == 2; }, STATION_TIMEOUT_MS));
        EXPECT_EQ(line_->records()[1].value("verdict", ""), "passed on retest 1");
        const std::string repairs = read_file(repairs_file());
        const auto first_repair = nlohmann::json::parse(repairs.substr(0, repairs.find('\n')));
        EXPECT_EQ(line_->records()[1].value("after_repair", ""), first_repair.value("id", "?"));
        EXPECT_EQ(line_->records()[0].value("after_repair", "none"), "none");
    }

    // Scrapped: refused by the line from then on, naming when and why.
    void scrapped(WebDriver& bench)
    {
        ASSERT_NO_FATAL_FAILURE(test_board("KV000002", "FAIL"));
        ASSERT_NO_FATAL_FAILURE(look_up(bench, "KV000002", "waiting for its repair"));
        bench.click("#repair-action option[value=scrapped]");
        fill(bench, "repair-components", "");
        fill(bench, "repair-note", "cracked BGA");
        bench.press("#repair-record", 100);
        ASSERT_TRUE(bench.wait_text("#message", "KV000002: scrapped recorded by Ann: it is not tested again", PAGE_MS))
            << bench.text("#message");
        const PageAnswer refused = scan_until("KV000002", "(cracked BGA): it is not tested again");
        EXPECT_EQ(refused.status, 400);
        EXPECT_NE(refused.body.find("KV000002 was scrapped at "), std::string::npos) << refused.body;
        ASSERT_NO_FATAL_FAILURE(look_up(bench, "KV000002", "KV000002 scrapped at "));
        EXPECT_FALSE(bench.script("return document.getElementById('repair-form').hidden;") == false)
            << "nothing more is recorded of a scrapped board";
    }

    // A supervisor lets a failed board through once, on the line's own page.
    void let_through()
    {
        ASSERT_NO_FATAL_FAILURE(test_board("KV000003", "FAIL"));
        WebDriver line(dir_ + "/line-page");
        line.open(line_->url());
        ASSERT_TRUE(line.wait_shown("#repair", PAGE_MS)) << line.text("body");
        ASSERT_NO_FATAL_FAILURE(look_up(line, "KV000003", "waiting for its repair"));
        ASSERT_TRUE(line.wait_shown("#override-form", PAGE_MS));
        fill(line, "override-supervisor", "Sam");
        fill(line, "override-reason", "customer sample");
        line.press("#override", 100);
        ASSERT_TRUE(line.wait_text("#message",
                                   "KV000003 may be tested once without a repair: Sam overrode (customer sample)", PAGE_MS))
            << line.text("#message");
        ASSERT_EQ(line_->post("scan", {{"text", "KV000003"}, {"fixture", "A"}}).status, 200);
        ASSERT_TRUE(line_->process().wait_until([&] { return line_->records().size() == 5; }, STATION_TIMEOUT_MS));
        EXPECT_EQ(line_->records()[4].value("verdict", ""), "passed on retest 1");
        const std::string events = read_file(dir_ + "/line/records/" + ServeProcess::iso_day() + "/events.jsonl");
        EXPECT_NE(events.find("\"kind\":\"route override\""), std::string::npos) << events;
        EXPECT_NE(events.find("KV000003 by Sam: customer sample"), std::string::npos) << events;
    }

    std::string repairs_file() const { return dir_ + "/bench/records/" + ServeProcess::iso_day() + "/repairs.jsonl"; }

    std::string dir_;
    std::unique_ptr<ScriptedTool> tool_;
    std::unique_ptr<ServeProcess> line_, bench_;
};

TEST_F(RepairBench, AFailedBoardIsRepairedScrappedOrLetThrough)
{
    WebDriver bench(dir_ + "/bench-page");
    bench.open(bench_->url());
    ASSERT_TRUE(bench.wait_shown("#repair", PAGE_MS)) << bench.text("body");
    EXPECT_FALSE(bench.script("return document.getElementById('scan-form').hidden;") == false)
        << "a station of no fixtures serves the repair view alone";
    ASSERT_NO_FATAL_FAILURE(repaired(bench));
    // The board's history reads failed, repaired (what, by whom), passed.
    ASSERT_NO_FATAL_FAILURE(look_up(bench, "KV000001", "KV000001: its last attempt passed"));
    const std::string history = bench.text("#repair-history");
    const size_t failed = history.find("failed SRAM"), repaired = history.find("reflowed U7 by Ann"),
                 passed = history.find("passed (retest 1) after repair");
    EXPECT_TRUE(failed < repaired && repaired < passed && passed != std::string::npos) << history;
    ASSERT_NO_FATAL_FAILURE(scrapped(bench));
    ASSERT_NO_FATAL_FAILURE(let_through());
    // What the line learns: the bench's repairs by action, none waiting.
    const std::string counted = metrics_of(*bench_);
    for (const char* line : {"action=\"reflowed\"} 1", "action=\"scrapped\"} 1", "action=\"cleaned\"} 0"})
        EXPECT_NE(counted.find("korva_repairs_total{station=\"rework\"," + std::string(line)), std::string::npos)
            << line << "\n" << counted;
    ASSERT_TRUE(line_->process().wait_until(
        [&] { return metrics_of(*line_).find("korva_boards_waiting_for_repair{station=\"bench1\"} 0") != std::string::npos; },
        STATION_TIMEOUT_MS))
        << metrics_of(*line_);
    EXPECT_EQ(count_of(read_file(repairs_file()), "\"technician\":\"Ann\""), 2u);
}

// What the bench cannot record is refused with a word and changes
// nothing: its records stay empty.
TEST_F(RepairBench, RefusesWhatItCannotRecord)
{
    ASSERT_NO_FATAL_FAILURE(test_board("KV000001", "FAIL"));
    struct Refusal {
        const char* action;
        std::vector<std::pair<std::string, std::string>> fields;
        std::string told;
    };
    const std::vector<std::pair<std::string, std::string>> good = {
        {"serial", "KV000001"}, {"action", "reflowed"}, {"components", "U7"}, {"technician", "Ann"}};
    const auto but = [&](const std::string& key, const std::string& value) {
        auto fields = good;
        for (auto& [k, v] : fields)
            if (k == key)
                v = value;
        return fields;
    };
    for (const Refusal& r : std::vector<Refusal>{
             {"repair", but("action", "glued"),
              "no repair action 'glued': one of reflowed, replaced, cleaned, no fault found, scrapped"},
             {"repair", but("technician", ""), "technician's name '' refused: 1 to 60 characters, no control characters"},
             {"repair", but("components", "U7 R43;"),
              "no component 'R43;': a reference is letters, digits, '-', '_' or '.'"},
             {"repair", but("serial", "KV000009"), "KV000009 has no failed attempt to repair: the line never tested it"},
             {"repair", but("serial", std::string(41, 'K')), "no serial number '" + std::string(41, 'K') +
                                                                   "': 1 to 40 characters, no control characters"},
             {"repair-lookup", {{"serial", "KV000009"}}, "KV000009 has no attempt in the line's database"},
             {"route-override", {{"serial", "KV000001"}, {"supervisor", "Sam"}, {"reason", "x"}},
              "this station does not hold failed boards for a repair: nothing to override"},
         }) {
        const PageAnswer answer = bench_->post(r.action, r.fields);
        EXPECT_EQ(answer.status, 400) << r.told;
        EXPECT_EQ(answer.body, r.told + "\n");
    }
    const PageAnswer override_unheld = line_->post("route-override", {{"serial", "KV000007"}, {"supervisor", "Sam"},
                                                                      {"reason", "x"}});
    EXPECT_EQ(override_unheld.body, "KV000007 is not held for a repair: it may be tested\n");
    const PageAnswer no_reason = line_->post("route-override", {{"serial", "KV000001"}, {"supervisor", "Sam"}});
    EXPECT_EQ(no_reason.body, "an override needs its reason: 1 to 200 characters, no control characters\n");
    const PageAnswer scanned = bench_->post("scan", {{"text", "KV000001"}});
    EXPECT_EQ(scanned.body, "this station is a repair bench: it tests no boards; look a board up in its repair view\n");
    EXPECT_EQ(read_file(repairs_file()), "");
}

// A board the simulator failed, looked up at the repair view: its
// diagnosis and the pins to probe, read off the board's netlist.
TEST(RepairView, ShowsWhereToProbeTheFailedBoard)
{
    const std::string dir = make_temp_dir();
    ASSERT_EQ(mkdir((dir + "/page").c_str(), 0755), 0);
    PoweredBoard bad(dir, "b", "sram.d3=0");
    ServeProcess station(dir, {bad.fixture("B")},
                         "board.netlist = \"" DOCS_DIR "/korva-unit.net\"\nboard.nets.sram_data = \"SRAM_D{n}\"\n");
    ASSERT_EQ(station.post("scan", {{"text", "KV000002"}, {"fixture", "B"}}).status, 200);
    ASSERT_TRUE(station.wait_panel("B", "verdict"));
    WebDriver page(dir + "/page");
    page.open(station.url());
    fill(page, "repair-serial", "KV000002\n");
    EXPECT_TRUE(page.wait_text("#repair-diagnosis", "diagnosis: SRAM data line 3 stuck at 0", PAGE_MS))
        << page.text("#repair");
    EXPECT_TRUE(page.wait_text("#repair-probes", "probe SRAM D3: U1 pin AA4 (EX_DATA3), U7 pin 12 (DQ3), R43 pin 1",
                               PAGE_MS))
        << page.text("#repair");
    if (const char* folder = getenv("KORVA_SCREENSHOTS"); folder && *folder) {
        page.script("document.getElementById('repair').scrollIntoView(); return 0;");
        page.screenshot(std::string(folder) + "/repair-bench.png");
    }
    station.process().signal(SIGTERM);
    EXPECT_EQ(station.process().wait_exit(STATION_TIMEOUT_MS), 0) << station.process().err();
}

} // namespace
