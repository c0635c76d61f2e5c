// The station's metrics as Prometheus reads them: the counts of a few
// attempts, and the whole exposition accepted by Debian's promtool.
#include <gtest/gtest.h>

#include <fstream>

#include "station/outputs/line_metrics.h"
#include "tests/support/session.h"

namespace korvastation {
namespace {

AttemptRecord attempt(const std::string& fixture, Verdict verdict, double seconds, int retest = 0,
                      bool intermittent = false)
{
    AttemptRecord r;
    r.board = {"/dev/ttyUSB0", "KV000001", "", fixture, ""};
    r.verdict = verdict;
    r.start = std::chrono::system_clock::time_point(std::chrono::hours(500000));
    r.end = r.start + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    r.retest = retest;
    r.intermittent = intermittent;
    for (int t = 0; t < BOARD_TEST_COUNT; ++t)
        r.counts[t][0] = 1;
    if (verdict == Verdict::FAILED) {
        r.counts[TEST_SRAM][0] = 0;
        r.counts[TEST_SRAM][1] = 1;
    }
    if (verdict == Verdict::HUNG) {
        r.counts[TEST_FLASH][0] = r.counts[TEST_SRAM][0] = 0;
        r.hung_test = TEST_FLASH;
    }
    return r;
}

LineMetrics a_morning()
{
    LineMetrics m("bench \"3\"", "1.0.0", "ab12", {"idle", "testing"});
    m.take(attempt("F1", Verdict::PASSED, 1.5));
    m.take(attempt("F1", Verdict::FAILED, 3));
    m.take(attempt("F1", Verdict::PASSED, 4, 1, true));
    m.take(attempt("F2", Verdict::HUNG, 40));
    m.take(attempt("F2", Verdict::NOT_TESTED, 0.25));
    m.set_repairs({{"no fault found", 0}, {"reflowed", 2}}, 3);
    return m;
}

TEST(LineMetrics, CountsWhatTheAttemptsCameTo)
{
    const std::string text = a_morning().text({{"F1", "idle", 4711}, {"F2", "testing", 0}});
    const std::string s = "station=\"bench \\\"3\\\"\"";
    for (const std::string& line : {
             "korva_attempts_total{" + s + ",fixture=\"F1\",verdict=\"passed\"} 2",
             "korva_attempts_total{" + s + ",fixture=\"F1\",verdict=\"failed\"} 1",
             "korva_attempts_total{" + s + ",fixture=\"F2\",verdict=\"hung\"} 1",
             "korva_attempts_total{" + s + ",fixture=\"F2\",verdict=\"not_tested\"} 1",
             "korva_tests_total{" + s + ",test=\"SRAM\",result=\"failed\"} 1",
             "korva_tests_total{" + s + ",test=\"SDRAM\",result=\"passed\"} 5",
             "korva_tests_total{" + s + ",test=\"FLASH\",result=\"hung\"} 1",
             "korva_retests_total{" + s + "} 1",
             "korva_intermittent_boards_total{" + s + "} 1",
             "korva_attempt_duration_seconds_bucket{" + s + ",le=\"2\"} 2",
             "korva_attempt_duration_seconds_bucket{" + s + ",le=\"5\"} 4",
             "korva_attempt_duration_seconds_bucket{" + s + ",le=\"30\"} 4",
             "korva_attempt_duration_seconds_bucket{" + s + ",le=\"60\"} 5",
             "korva_attempt_duration_seconds_bucket{" + s + ",le=\"+Inf\"} 5",
             "korva_attempt_duration_seconds_sum{" + s + "} 48.75",
             "korva_attempt_duration_seconds_count{" + s + "} 5",
             // Series that count nothing yet are there at 0 from the start.
             "korva_attempts_total{" + s + ",fixture=\"F2\",verdict=\"passed\"} 0",
             "korva_attempts_total{" + s + ",fixture=\"F1\",verdict=\"stopped\"} 0",
             "korva_tests_total{" + s + ",test=\"SDRAM\",result=\"hung\"} 0",
             "korva_fixture_state{" + s + ",fixture=\"F2\",state=\"testing\"} 1",
             "korva_fixture_state{" + s + ",fixture=\"F2\",state=\"idle\"} 0",
             "korva_fixture_cycles{" + s + ",fixture=\"F1\"} 4711",
             "korva_fixture_cycles{" + s + ",fixture=\"F2\"} 0",
             "korva_repairs_total{" + s + ",action=\"reflowed\"} 2",
             "korva_repairs_total{" + s + ",action=\"no fault found\"} 0",
             "korva_boards_waiting_for_repair{" + s + "} 3",
             "korva_build_info{" + s + ",version=\"1.0.0\",image_sha256=\"ab12\"} 1"})
        EXPECT_NE(text.find(line + "\n"), std::string::npos) << line << "\nin\n" << text;
    EXPECT_EQ(text.find("KV000001"), std::string::npos) << "a serial number is no label";
}

TEST(LineMetrics, ABatchCountsItsBoardsByPort)
{
    LineMetrics m("bench", "1.0.0", "ab12", {"testing", "done"});
    m.take(attempt("", Verdict::PASSED, 1));
    EXPECT_NE(m.text({}).find("fixture=\"/dev/ttyUSB0\",verdict=\"passed\"} 1\n"), std::string::npos) << m.text({});
    EXPECT_EQ(m.text({{"/dev/ttyUSB0", "done"}}).find("korva_fixture_cycles{"), std::string::npos)
        << "a batch's ports count no insertions";
    EXPECT_EQ(m.text({}).find("korva_repairs_total"), std::string::npos) << "a batch has no repair bench";
}

TEST(LineMetrics, PromtoolAcceptsTheExposition)
{
    const std::string dir = make_temp_dir();
    std::ofstream(dir + "/metrics") << a_morning().text({{"F1", "idle", 12}, {"F2", "testing", 0}});
    Session check("/bin/sh", ChildOptions{{"-c", "promtool check metrics < metrics"}, {}, dir});
    EXPECT_EQ(check.wait_exit(60000), 0) << check.out() << check.err();
    EXPECT_EQ(check.out() + check.err(), "");
}

} // namespace
} // namespace korvastation
