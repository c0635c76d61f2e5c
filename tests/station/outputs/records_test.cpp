// The record writers against files a reader checked by hand: a passed board,
// a failed first attempt with its diagnosis, and a hung retest whose power
// command failed. A change to either format shows here as a diff.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "station/outputs/records.h"
#include "tests/support/time_zone.h"

namespace korvastation {
namespace {

std::chrono::system_clock::time_point at(long seconds_after_eight)
{
    // 2026-12-09T08:00:00Z
    return std::chrono::system_clock::time_point(std::chrono::seconds(1796803200 + seconds_after_eight));
}

std::vector<AttemptRecord> attempts()
{
    AttemptRecord passed;
    passed.board = {"/dev/ttyUSB0", "B1", "", "", ""};
    passed.start = at(0);
    passed.end = at(12);
    passed.verdict = Verdict::PASSED;
    passed.passes = 1;
    for (int t = 0; t < BOARD_TEST_COUNT; ++t) {
        passed.counts[t][0] = 1;
        passed.seconds[t] = 1.5 * (t + 1);
    }
    passed.log = "logs/B1.log";

    AttemptRecord failed = passed;
    failed.board = {"/dev/ttyUSB1", "B2 <&>", "2", "", ""};
    failed.verdict = Verdict::FAILED;
    failed.final_attempt = false;
    failed.counts[TEST_FLASH][0] = 0;
    failed.counts[TEST_FLASH][1] = 1;
    failed.first_failure[TEST_FLASH] = 1;
    failed.failure_excerpt[TEST_FLASH] = "Testing FLASH...\nCFI query: wrong device size\nfailed\n";
    failed.diagnosis = {{"flash.query.size", "FLASH", "query field wrong", "FLASH query device size wrong"}};
    failed.log = "logs/B2.log";
    failed.power_log = "logs/B2-power.log";

    AttemptRecord hung = failed;
    hung.start = at(20);
    hung.end = at(61);
    hung.retest = 1;
    hung.final_attempt = true;
    hung.intermittent = true;
    hung.verdict = Verdict::HUNG;
    hung.hung_test = TEST_SRAM;
    hung.hung_in = "SRAM";
    hung.problem = "no output from the board in SRAM for 30 s";
    hung.passes = 0;
    hung.counts[TEST_FLASH][0] = 1;
    hung.counts[TEST_FLASH][1] = 0;
    hung.counts[TEST_SRAM][0] = 0;
    hung.first_failure[TEST_FLASH] = 0;
    hung.failure_excerpt[TEST_FLASH].clear();
    hung.diagnosis.clear();
    hung.log = "logs/B2-retest1.log";
    hung.power_problem = "--power-off command 'relay off 2' ended with status 1";
    return {passed, failed, hung};
}

std::string expected(const std::string& name)
{
    std::ifstream file(std::string(EXPECTED_DIR) + "/" + name);
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_TRUE(file.good() || file.eof()) << "cannot read " << name;
    return text.str();
}

TEST(RecordWriters, WriteWhatAReaderExpects)
{
    // The expected files were written in UTC.
    const ScopedTimeZone utc("UTC0");
    const RecordContext context{"1.4.0", "0123abcd", "", ""};
    EXPECT_EQ(json_records(attempts(), context), expected("records.jsonl"));
    EXPECT_EQ(junit_report(attempts()), expected("records.xml"));
}

// A served station's day file is its own record, from which the database
// gets what it missed: read back, each record is what the database would
// have stored.
std::string stored_text(const StoredAttempt& a)
{
    std::string text = a.id + "|" + a.station + "|" + a.run + "|" + a.label + "|" + a.port + "|" + a.fixture + "|" +
                       a.operator_name + "|" + std::to_string(a.retest) + std::to_string(a.final_attempt) +
                       std::to_string(a.intermittent) + std::to_string(a.golden) + "|" + std::to_string(a.fixture_cycles) + "|" + a.start + "|" + a.end + "|" +
                       a.verdict + "|" + a.problem + "|" + a.hung_in + "|" + std::to_string(a.passes) + "|" +
                       a.diagnosis_note + "|" + a.closest + "|" + a.after_repair + "|";
    for (int t = 0; t < BOARD_TEST_COUNT; ++t)
        text += std::to_string(a.counts[t][0]) + "/" + std::to_string(a.counts[t][1]) + " ";
    for (const std::string& fault : a.diagnosis)
        text += fault + ";";
    return text;
}

TEST(RecordReader, ReadsBackWhatTheDatabaseWouldHaveStored)
{
    std::vector<AttemptRecord> records = attempts();
    AttemptRecord unexplained = records[1];
    unexplained.diagnosis.clear();
    unexplained.diagnosis_note = "no single fault explains the log; closest: FLASH query 2 field B reads 2";
    unexplained.diagnosis_closest = "FLASH query 2 field B reads 2";
    unexplained.board.fixture = "F2";
    unexplained.operator_name = "ann";
    unexplained.fixture_cycles = 4711;
    unexplained.after_repair = "rework/2026-12-09T07:00:00.000Z/12/repair/3";
    AttemptRecord on_retest = records[0];
    on_retest.retest = 2;
    records.push_back(unexplained);
    records.push_back(on_retest);
    const RecordContext context{"1.4.0", "0123abcd", "bench 3", "bench 3/2026-12-09T08:00:00.000Z/77"};
    for (size_t i = 0; i < records.size(); ++i) {
        records[i].id = context.run + "/" + std::to_string(i + 1);
        StoredAttempt back;
        const korvasim::Result read = stored_attempt_of(json_record(records[i], context), &back);
        ASSERT_TRUE(read) << read.why();
        EXPECT_EQ(stored_text(back), stored_text(stored_attempt(records[i], context.station, context.run))) << i;
    }
    const StoredRepair repair{"rework/run/repair/1", "rework", "2026-12-09T10:20:00.000+01:00", "KV1", "reflowed",
                              "U7, R43", "pin 12 \"lifted\"", "ann", "bench 3/run/1", "SRAM data line 3 stuck at 0"};
    StoredRepair repair_back;
    ASSERT_TRUE(stored_repair_of(json_repair(repair), &repair_back));
    EXPECT_EQ(json_repair(repair_back), json_repair(repair));
    EXPECT_FALSE(stored_repair_of("{\"id\": \"x\"}", &repair_back));
    StoredAttempt none;
    EXPECT_FALSE(stored_attempt_of("{\"label\": \"B1\"", &none));
    EXPECT_FALSE(stored_attempt_of(json_record(records[0], {"1.4.0", "0123abcd", "", ""}), &none))
        << "a record without its station cannot go into a line's database";
}

} // namespace
} // namespace korvastation
