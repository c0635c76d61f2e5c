// The station's metrics read by a real Prometheus server, started on
// loopback to scrape a served station, and asked what it counted.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <map>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "tests/station/serve_station_fixture.h"
#include "tests/station/support/scripted_tool.h"
#include "tests/support/ser2net_server.h"

namespace {

class PrometheusServer {
public:
    PrometheusServer(const std::string& dir, const std::string& target) : port_(unused_loopback_port())
    {
        std::ofstream(dir + "/prometheus.yml") << "global:\n  scrape_interval: 1s\nscrape_configs:\n"
                                               << "  - job_name: korva\n    static_configs:\n      - targets: ['"
                                               << target << "']\n";
        server_ = std::make_unique<Session>(
            "/usr/bin/prometheus",
            ChildOptions{{"--config.file=" + dir + "/prometheus.yml", "--storage.tsdb.path=" + dir + "/tsdb",
                          "--web.listen-address=127.0.0.1:" + std::to_string(port_), "--log.level=warn"},
                         {},
                         dir});
        EXPECT_TRUE(server_->wait_until([&] {
            const auto r = client().Get("/-/ready");
            return r && r->status == 200;
        }, STATION_TIMEOUT_MS)) << server_->err();
    }

    // The query's single value, or "" while it has none.
    std::string value(const std::string& query, const std::string& at = "")
    {
        const std::map<std::string, std::string> answer = values(query, "", at);
        return answer.size() == 1 ? answer.begin()->second : "";
    }

    // The query's values by the given label, evaluated at a time (Unix
    // seconds) or now.
    std::map<std::string, std::string> values(const std::string& query, const std::string& label,
                                              const std::string& at = "")
    {
        std::string path = "/api/v1/query?query=" + httplib::detail::encode_query_param(query);
        if (!at.empty())
            path += "&time=" + at;
        const auto r = client().Get(path);
        std::map<std::string, std::string> found;
        if (!r || r->status != 200)
            return found;
        const nlohmann::json answer = nlohmann::json::parse(r->body, nullptr, false);
        const auto& result = answer["data"]["result"];
        if (result.is_array())
            for (const auto& series : result)
                found[series["metric"].value(label, "")] = series["value"][1].get<std::string>();
        return found;
    }

    bool wait_value(const std::string& query, const std::string& expected)
    {
        return server_->wait_until([&] { return value(query) == expected; }, STATION_TIMEOUT_MS);
    }

private:
    httplib::Client client() { return httplib::Client("127.0.0.1", port_); }

    int port_;
    std::unique_ptr<Session> server_;
};

TEST(StationMetrics, APrometheusServerCountsTheAttempts)
{
    const std::string dir = make_temp_dir();
    PoweredBoard good(dir, "a"), faulty(dir, "b", "sram.d3=0");
    ServeProcess station(dir, {good.fixture("A"), faulty.fixture("B")});
    ASSERT_FALSE(station.url().empty()) << station.process().err();
    ASSERT_EQ(station.post("scan", {{"text", "KV1"}, {"fixture", "A"}}).status, 200);
    ASSERT_EQ(station.post("scan", {{"text", "KV2"}, {"fixture", "B"}}).status, 200);
    ASSERT_TRUE(station.process().wait_until([&] { return station.records().size() == 2; }, STATION_TIMEOUT_MS));
    // What the station serves passes promtool's checks as it is.
    httplib::Client page(station.url().substr(0, station.url().size() - 1));
    const auto metrics = page.Get("/metrics");
    ASSERT_TRUE(metrics);
    EXPECT_EQ(metrics->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
    std::ofstream(dir + "/metrics") << metrics->body;
    Session check("/bin/sh", ChildOptions{{"-c", "promtool check metrics < metrics"}, {}, dir});
    EXPECT_EQ(check.wait_exit(STATION_TIMEOUT_MS), 0) << check.out() << check.err();

    const std::string target = station.url().substr(7, station.url().size() - 8);
    PrometheusServer prometheus(dir, target);
    EXPECT_TRUE(prometheus.wait_value("sum(korva_attempts_total)", "2")) << prometheus.value("sum(korva_attempts_total)");
    EXPECT_EQ(prometheus.value("korva_attempts_total{fixture=\"B\",verdict=\"failed\"}"), "1");
    EXPECT_EQ(prometheus.value("korva_tests_total{test=\"SRAM\",result=\"failed\"}"), "1");
    EXPECT_EQ(prometheus.value("korva_fixture_state{fixture=\"A\",state=\"verdict\"}"), "1");
    EXPECT_EQ(prometheus.value("korva_attempt_duration_seconds_count"), "2");
    station.process().signal(SIGTERM);
    EXPECT_EQ(station.process().wait_exit(STATION_TIMEOUT_MS), 0);
}

TEST(StationMetrics, TheLinesQueriesAnswerAShiftsCounts)
{
    // A shift of 3 passes, 1 fail and 1 hang on a scripted dudedoved,
    // scraped from the station's start; the queries that docs/line.md gives
    // answer these counts when asked at the last scrape.
    const std::string dir = make_temp_dir();
    ScriptedTool tool(dir);
    tool.plan("no-board-A", "pass");
    tool.plan("no-board-B", "fail SRAM");
    tool.plan("no-board-C", "hang FLASH");
    ServeProcess station(dir, {{"A", nullptr, dir + "/a"}, {"B", nullptr, dir + "/b"}, {"C", nullptr, dir + "/c"}, {"D", nullptr, dir + "/d"}},
                         "dudedoved = \"" + tool.path() + "\"\nsilence_timeout = 1");
    ASSERT_FALSE(station.url().empty()) << station.process().err();
    const std::string target = station.url().substr(7, station.url().size() - 8);
    PrometheusServer prometheus(dir, target);
    // Scraped once before the first board: every series starts at 0.
    ASSERT_TRUE(prometheus.wait_value("count(korva_attempts_total)", "24"))
        << prometheus.value("count(korva_attempts_total)");

    const auto verdict_in = [&](const std::string& fixture) {
        return station.process().wait_until(
            [&] { return station.panel(fixture).value("state", "") == "verdict"; }, STATION_TIMEOUT_MS);
    };
    for (const char* serial : {"KV1", "KV2", "KV3"}) {
        ASSERT_EQ(station.post("scan", {{"text", serial}, {"fixture", "A"}}).status, 200);
        ASSERT_TRUE(verdict_in("A")) << station.process().err();
    }
    ASSERT_EQ(station.post("scan", {{"text", "KV4"}, {"fixture", "B"}}).status, 200);
    ASSERT_EQ(station.post("scan", {{"text", "KV5"}, {"fixture", "C"}}).status, 200);
    ASSERT_TRUE(station.process().wait_until([&] { return station.records().size() == 5; }, STATION_TIMEOUT_MS))
        << station.process().err();
    ASSERT_TRUE(prometheus.wait_value("sum(korva_attempts_total)", "5"));
    const std::string last_scrape = prometheus.value("max(timestamp(korva_build_info))");

    EXPECT_EQ(prometheus.value("sum(increase(korva_attempts_total[1h]))", last_scrape), "5");
    EXPECT_EQ(prometheus.value("sum(increase(korva_attempts_total{verdict=\"passed\"}[1h])) / "
                               "sum(increase(korva_attempts_total[1h]))",
                               last_scrape),
              "0.6");
    EXPECT_EQ(prometheus.value("sum by (station) (increase(korva_attempts_total{verdict=\"hung\"}[8h]))", last_scrape),
              "1");
    const std::map<std::string, std::string> hung_tests = prometheus.values(
        "topk(3, sum by (test) (increase(korva_tests_total{result=\"hung\"}[1d])))", "test", last_scrape);
    EXPECT_EQ(hung_tests, (std::map<std::string, std::string>{{"FLASH", "1"}, {"SDRAM", "0"}, {"SRAM", "0"}}));
    EXPECT_EQ(prometheus.values("min_over_time(korva_fixture_state{state=\"idle\"}[15m]) == 1", "fixture",
                                last_scrape),
              (std::map<std::string, std::string>{{"D", "1"}}));
    EXPECT_EQ(prometheus.values("korva_fixture_state{state=\"check_the_fixture\"} == 1", "fixture", last_scrape),
              (std::map<std::string, std::string>{}));
    const std::string slowest = prometheus.value(
        "histogram_quantile(0.95, sum by (le) (rate(korva_attempt_duration_seconds_bucket[1h])))", last_scrape);
    ASSERT_FALSE(slowest.empty());
    EXPECT_GT(std::stod(slowest), 0.0);
    EXPECT_LE(std::stod(slowest), 2.0) << "the hang took about the silence limit, 1 s";
    station.process().signal(SIGTERM);
    EXPECT_EQ(station.process().wait_exit(STATION_TIMEOUT_MS), 0);
}

TEST(StationMetrics, ABatchRunCountsItsBoardsByPort)
{
    SimulatedBoard board;
    Station station({"--http", "0", "--db", make_temp_dir() + "/results.db", "--station", "bench1", board.port() + "=KV9"});
    ASSERT_TRUE(station.wait_page_kept()) << station.process().err();
    const std::string err = station.process().err();
    const size_t at = err.find("dashboard at http://127.0.0.1:") + 30;
    httplib::Client page("127.0.0.1", std::stoi(err.substr(at)));
    const auto metrics = page.Get("/metrics");
    ASSERT_TRUE(metrics);
    EXPECT_NE(metrics->body.find("korva_attempts_total{station=\"bench1\",fixture=\"" + board.port() +
                                 "\",verdict=\"passed\"} 1\n"),
              std::string::npos)
        << metrics->body;
    EXPECT_NE(metrics->body.find("korva_fixture_state{station=\"bench1\",fixture=\"" + board.port() +
                                 "\",state=\"done\"} 1\n"),
              std::string::npos);
    EXPECT_EQ(metrics->body.find("KV9"), std::string::npos) << "a serial number is no label";
    station.process().signal(SIGINT);
    EXPECT_EQ(station.finish(), 0);
}

} // namespace
