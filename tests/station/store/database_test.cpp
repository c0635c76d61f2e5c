// The station's records in SQLite and in a real PostgreSQL server: every
// attempt stored and read back, the report's figures against hand-counted
// records, two stations writing at once, and the schema's version.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "station/store/result_store.h"
#include "station/store/sql_connection.h"
#include "tests/station/store/database_fixture.h"

namespace korvastation {
namespace {

using korvasim::Result;

// Two stations on two days; counted by hand: 5 boards, first pass B1 and
// B5, final pass B1, B2 and B5, retested B2, B3 and B4, intermittent B2
// and B4, hung B4; fault X failed B2 and B3, fault Y B4.
const std::vector<StoredAttempt> LINE = {
    attempt("A", "run1", "2026-12-01", "B1", 0, true, "passed", false),
    attempt("A", "run1", "2026-12-01", "B2", 0, false, "failed", true, {"X"}),
    attempt("A", "run1", "2026-12-01", "B2", 1, true, "passed", false, {}, true),
    attempt("A", "run1", "2026-12-01", "B3", 0, false, "failed", true, {"X"}),
    attempt("A", "run1", "2026-12-01", "B3", 1, true, "failed", true, {"X"}),
    attempt("B", "run2", "2026-12-02", "B4", 0, false, "hung", false),
    attempt("B", "run2", "2026-12-02", "B4", 1, true, "failed", true, {"Y"}, true),
    attempt("B", "run2", "2026-12-02", "B5", 0, true, "passed", false),
};

std::string figures(const YieldRow& r)
{
    return r.key + ": " + std::to_string(r.boards) + " " + std::to_string(r.first_pass) + " " +
           std::to_string(r.final_pass) + " " + std::to_string(r.retested) + " " + std::to_string(r.intermittent) +
           " " + std::to_string(r.hung);
}

std::string faults_of(const std::vector<FaultRow>& faults)
{
    std::string text;
    for (const FaultRow& f : faults)
        text += (text.empty() ? "" : ", ") + f.fault + " " + std::to_string(f.boards);
    return text;
}

TEST_P(DatabaseTest, TheReportCountsWhatWasRecorded)
{
    {
        auto store = open();
        for (const StoredAttempt& a : LINE)
            ASSERT_TRUE(store->add(a));
    }
    auto store = open();  // a second opening leaves the schema and the records
    std::vector<StoredAttempt> all;
    ASSERT_TRUE(store->load({}, &all));
    ASSERT_EQ(all.size(), LINE.size());
    const auto b3_retest = std::find_if(all.begin(), all.end(), [](const StoredAttempt& a) {
        return a.label == "B3" && a.retest == 1;
    });
    ASSERT_NE(b3_retest, all.end());
    EXPECT_TRUE(b3_retest->final_attempt);
    EXPECT_FALSE(b3_retest->intermittent);
    EXPECT_EQ(b3_retest->counts[TEST_SRAM][1], 1);
    EXPECT_EQ(b3_retest->counts[TEST_FLASH][0], 1);
    EXPECT_EQ(b3_retest->diagnosis, std::vector<std::string>{"X"});

    YieldTally tally;
    ASSERT_TRUE(count_all(*store, {}, &tally));
    EXPECT_EQ(figures(tally.total), "all: 5 2 3 3 2 1");
    ASSERT_EQ(tally.by_day.size(), 2u);
    EXPECT_EQ(figures(tally.by_day[0]), "2026-12-01: 3 1 2 2 1 0");
    EXPECT_EQ(figures(tally.by_day[1]), "2026-12-02: 2 1 1 1 1 1");
    EXPECT_EQ(figures(tally.by_station[1]), "B: 2 1 1 1 1 1");
    // SRAM ran on the first attempt of every board but the one that hung.
    ASSERT_EQ(tally.by_test.size(), 3u);
    EXPECT_EQ(figures(tally.by_test[TEST_SRAM]), "SRAM: 4 2 3 2 1 0");
    EXPECT_EQ(faults_of(tally.faults), "X 2, Y 1");

    struct FilterCase {
        StoreFilter filter;
        size_t attempts;
        long boards;
    };
    for (const FilterCase& c : {FilterCase{{"2026-12-02", "", "", ""}, 3, 2}, FilterCase{{"", "2026-12-01", "", ""}, 5, 3},
                                FilterCase{{"", "", "A", ""}, 5, 3}, FilterCase{{"", "", "", "B4"}, 2, 1},
                                FilterCase{{"2026-12-03", "", "", ""}, 0, 0}}) {
        const std::string which = c.filter.since + "|" + c.filter.until + "|" + c.filter.station + "|" + c.filter.label;
        std::vector<StoredAttempt> some;
        ASSERT_TRUE(store->load(c.filter, &some));
        EXPECT_EQ(some.size(), c.attempts) << which;
        YieldTally counted;
        ASSERT_TRUE(count_day(*store, c.filter, &counted));
        EXPECT_EQ(counted.total.boards, c.boards) << which;
    }
}

// A board is a serial number of a day, however its attempts came about:
// retests, re-scans in other station runs, other stations, other fixtures.
TEST_P(DatabaseTest, ABoardIsASerialNumberOfADay)
{
    auto store = open();
    const std::string day = "2026-12-07";
    std::vector<StoredAttempt> attempts = {
        // KV1: failed at A's fixture F1, re-scanned there in a later run, passed at B.
        attempt("A", "run1", day, "KV1", 0, true, "failed", true, {"X"}),
        attempt("A", "run2", day, "KV1", 0, false, "failed", true, {"X"}),
        attempt("A", "run2", day, "KV1", 1, true, "failed", true, {"X"}),
        attempt("B", "run3", day, "KV1", 0, true, "passed", false),
        // KV2: not tested (a station's trouble), then passed: not intermittent.
        attempt("A", "run1", day, "KV2", 0, true, "not tested", false),
        attempt("A", "run1", day, "KV2", 0, true, "passed", false),
        // KV3: passed, then a known-good board's attempt of the same serial, never counted.
        attempt("B", "run3", day, "KV3", 0, true, "passed", false),
        // KV4 on the next day: a board of that day, first pass there.
        attempt("A", "run4", "2026-12-08", "KV1", 0, true, "passed", false),
    };
    attempts[0].fixture = attempts[1].fixture = attempts[2].fixture = "F1";
    attempts[3].fixture = "F1";
    attempts[0].operator_name = "ann";
    attempts[3].operator_name = "bob";
    StoredAttempt golden = attempt("B", "run3", day, "KV3", 0, true, "failed", true);
    golden.golden = true;
    attempts.push_back(golden);
    for (const StoredAttempt& a : attempts)
        ASSERT_TRUE(store->add(a));
    YieldTally tally;
    ASSERT_TRUE(count_all(*store, {day, day, "", ""}, &tally));
    // KV1: first failed, last passed, retested, intermittent; KV2: first
    // not passed, last passed, retested; KV3: passed.
    EXPECT_EQ(figures(tally.total), "all: 3 1 3 2 1 0");
    ASSERT_EQ(tally.by_station.size(), 2u);
    EXPECT_EQ(figures(tally.by_station[0]), "A: 2 0 1 2 0 0");
    EXPECT_EQ(figures(tally.by_station[1]), "B: 2 2 2 0 0 0");
    ASSERT_EQ(tally.by_fixture.size(), 4u);
    EXPECT_EQ(figures(tally.by_fixture[0]), "A /dev/ttyUSB0: 1 0 1 1 0 0");
    EXPECT_EQ(figures(tally.by_fixture[1]), "A F1: 1 0 0 1 0 0");
    EXPECT_EQ(figures(tally.by_operator[0]), "(none): 3 1 2 2 0 0");
    EXPECT_EQ(faults_of(tally.faults), "X 1");
    ASSERT_TRUE(count_all(*store, {"", "", "", "KV1"}, &tally));
    EXPECT_EQ(figures(tally.total), "all: 2 1 2 1 1 0");
}

TEST_P(DatabaseTest, AHangFailsItsTestAndAnAmbiguousDiagnosisIsOneRow)
{
    auto store = open();
    for (int i = 0; i < 8; ++i) {
        const bool hung = i < 2;
        StoredAttempt a = attempt("A", "run", "2026-12-05", "H" + std::to_string(i), 0, true,
                                  hung ? "hung" : "passed", false);
        if (hung) {
            a.hung_in = "FLASH";
            a.counts[TEST_SDRAM][0] = 1;
        }
        ASSERT_TRUE(store->add(a));
    }
    // The same two candidates, found in either order, are one fault.
    for (int i = 0; i < 3; ++i) {
        std::vector<std::string> candidates = {"address line 7 stuck at 0", "address line 7 stuck at 1"};
        if (i == 1)
            std::swap(candidates[0], candidates[1]);
        ASSERT_TRUE(store->add(attempt("A", "run", "2026-12-05", "F" + std::to_string(i), 0, true, "failed", true,
                                       candidates)));
    }
    // A failure that no single fault explains is a fault of its own, its
    // closest candidates kept.
    StoredAttempt unexplained = attempt("A", "run", "2026-12-05", "U", 0, true, "failed", true);
    unexplained.diagnosis_note = "no single fault explains the log; closest: FLASH query 2 field B reads 2";
    unexplained.closest = "FLASH query 2 field B reads 2";
    ASSERT_TRUE(store->add(unexplained));
    // A board retested after midnight is a board of each day.
    ASSERT_TRUE(store->add(attempt("A", "run", "2026-12-05", "N", 0, false, "failed", true, {"X"})));
    ASSERT_TRUE(store->add(attempt("A", "run", "2026-12-06", "N", 1, true, "passed", false)));
    YieldTally tally;
    ASSERT_TRUE(count_all(*store, {"", "2026-12-05", "", ""}, &tally));
    EXPECT_EQ(figures(tally.total), "all: 13 6 6 0 0 2");
    // FLASH: 13 boards ran it, 2 hung in it, 11 passed it.
    EXPECT_EQ(figures(tally.by_test[TEST_FLASH]), "FLASH: 13 11 11 0 0 2");
    EXPECT_EQ(figures(tally.by_test[TEST_SRAM]), "SRAM: 11 6 6 0 0 0");
    EXPECT_EQ(faults_of(tally.faults), "address line 7 stuck at 0 or address line 7 stuck at 1 3, hung in FLASH 2, "
                                       "X 1, not explained by a single fault 1");
    EXPECT_EQ(tally.faults.back().closest, "FLASH query 2 field B reads 2");
    std::vector<StoredAttempt> back;
    ASSERT_TRUE(store->load({"", "", "", "U"}, &back));
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].closest, "FLASH query 2 field B reads 2");
}

TEST_P(DatabaseTest, TheRetestedBoardsAreThoseTestedAgainTheSameDay)
{
    auto store = open();
    for (const StoredAttempt& a : LINE)
        ASSERT_TRUE(store->add(a));
    // B1 again on the next day: a board of that day, tested once there.
    ASSERT_TRUE(store->add(attempt("A", "run3", "2026-12-02", "B1", 0, true, "passed", false)));
    StoreFilter retested;
    retested.retested_only = true;
    std::vector<StoredAttempt> attempts;
    ASSERT_TRUE(store->load(retested, &attempts));
    std::string labels;
    for (const StoredAttempt& a : attempts)
        labels += a.label + " ";
    EXPECT_EQ(labels, "B2 B2 B3 B3 B4 B4 ");
}

TEST_P(DatabaseTest, AnAttemptOrEventIsStoredOnceByItsIdentity)
{
    auto store = open();
    StoredAttempt a = attempt("A", "run", "2026-12-09", "KV9", 0, true, "failed", true, {"X"});
    a.id = "A/run/1";
    ASSERT_TRUE(store->add(a));
    ASSERT_TRUE(store->add(a));
    StationEvent checked{"A/run/e1", "A", "2026-12-09T10:00:00.000Z", "fixture checked", "F2", "ann", "KV1, KV2, KV3"};
    ASSERT_TRUE(store->add_event(checked));
    ASSERT_TRUE(store->add_event(checked));
    std::vector<StoredAttempt> attempts;
    ASSERT_TRUE(store->load({}, &attempts));
    ASSERT_EQ(attempts.size(), 1u);
    EXPECT_EQ(attempts[0].id, "A/run/1");
    EXPECT_EQ(attempts[0].diagnosis, std::vector<std::string>{"X"});
    std::vector<StationEvent> events;
    ASSERT_TRUE(store->load_events({"2026-12-09", "2026-12-09", "", ""}, &events));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind + " " + events[0].fixture + " " + events[0].operator_name + ": " + events[0].detail,
              "fixture checked F2 ann: KV1, KV2, KV3");
}

TEST_P(DatabaseTest, TwoStationsWriteAtOnce)
{
    open();  // the schema, made once
    const int EACH = 40;
    auto station = [this](const std::string& name) {
        auto store = open();
        for (int i = 0; i < EACH; ++i)
            EXPECT_TRUE(store->add(attempt(name, name, "2026-12-03", name + std::to_string(i), 0, true, "passed", false)));
    };
    std::thread a(station, "S1"), b(station, "S2");
    a.join();
    b.join();
    std::vector<StoredAttempt> all;
    ASSERT_TRUE(open()->load({}, &all));
    EXPECT_EQ(all.size(), 2u * EACH);
}

TEST_P(DatabaseTest, RecordsOfANewerSchemaAreLeftAlone)
{
    open();
    std::unique_ptr<SqlConnection> db;
    ASSERT_TRUE(std::string(GetParam()) == "SQLite" ? open_sqlite(where_, &db) : open_postgres(where_, &db));
    ASSERT_TRUE(db->run("INSERT INTO korva_schema (version) VALUES (" + std::to_string(RESULT_SCHEMA_VERSION + 1) + ")",
                        {}, nullptr));
    std::unique_ptr<ResultStore> store;
    const Result opened = open_result_store(where_, &store);
    EXPECT_FALSE(opened);
    const std::string newer = std::to_string(RESULT_SCHEMA_VERSION + 1);
    EXPECT_NE(opened.why().find("its records are of schema version " + newer + ", newer than this korvastation's (" +
                                std::to_string(RESULT_SCHEMA_VERSION) + ")"),
              std::string::npos)
        << opened.why();
}

TEST_P(DatabaseTest, ADatabaseOfTheFirstVersionIsUpgradedWithItsRecords)
{
    {
        std::unique_ptr<SqlConnection> db;
        ASSERT_TRUE(std::string(GetParam()) == "SQLite" ? open_sqlite(where_, &db) : open_postgres(where_, &db));
        // The first version's tables, as stations wrote them.
        const std::string id = std::string(GetParam()) == "SQLite" ? "INTEGER PRIMARY KEY AUTOINCREMENT"
                                                                   : "BIGSERIAL PRIMARY KEY";
        for (const std::string& statement :
             {std::string("CREATE TABLE korva_schema (version INTEGER NOT NULL)"),
              std::string("INSERT INTO korva_schema (version) VALUES (1)"),
              "CREATE TABLE attempts (id " + id + ", station TEXT NOT NULL, run TEXT NOT NULL,"
              " label TEXT NOT NULL, port TEXT NOT NULL, retest INTEGER NOT NULL, final INTEGER NOT NULL,"
              " intermittent INTEGER NOT NULL, started TEXT NOT NULL, ended TEXT NOT NULL, verdict TEXT NOT NULL,"
              " problem TEXT NOT NULL, passes BIGINT NOT NULL)",
              std::string("CREATE TABLE test_counts (attempt BIGINT NOT NULL, test TEXT NOT NULL,"
                          " passed BIGINT NOT NULL, failed BIGINT NOT NULL)"),
              std::string("CREATE TABLE diagnoses (attempt BIGINT NOT NULL, fault TEXT NOT NULL)"),
              std::string("INSERT INTO attempts (station, run, label, port, retest, final, intermittent, started,"
                          " ended, verdict, problem, passes) VALUES ('A', 'run0', 'OLD', 'p', 0, 1, 0,"
                          " '2026-11-30T08:00:00.000Z', '2026-11-30T08:01:00.000Z', 'hung', 'no output', 0)"),
              std::string("INSERT INTO diagnoses (attempt, fault) VALUES (1, 'X')")})
            ASSERT_TRUE(db->run(statement, {}, nullptr)) << statement;
    }
    StoredAttempt hung = attempt("A", "run1", "2026-12-01", "NEW", 0, true, "hung", false);
    hung.hung_in = "FLASH";
    hung.fixture = "F2";
    hung.operator_name = "ann";
    hung.golden = true;
    hung.fixture_cycles = 4711;
    ASSERT_TRUE(open()->add(hung));
    std::vector<StoredAttempt> all;
    ASSERT_TRUE(open()->load({}, &all));
    ASSERT_EQ(all.size(), 2u);
    // Each later version's columns, empty for the records written before them.
    auto shown = [](const StoredAttempt& a) {
        return a.label + ":" + a.hung_in + ":" + a.fixture + ":" + a.operator_name + ":" + std::to_string(a.golden) + ":" +
               std::to_string(a.fixture_cycles);
    };
    EXPECT_EQ(shown(all[0]), "OLD::::0:0");
    EXPECT_EQ(shown(all[1]), "NEW:FLASH:F2:ann:1:4711");
    EXPECT_EQ(all[0].probe_points, std::vector<std::string>{""}) << "a diagnosis from before has no probe points";
    ASSERT_TRUE(open()->add_repair(repair("OLD", "2026-12-01T10:00:00.000Z", "reflowed", "", "", "X")));
    std::vector<StoredRepair> repairs;
    ASSERT_TRUE(open()->load_repairs({}, &repairs));
    EXPECT_EQ(repairs.size(), 1u);
    YieldTally tally;
    ASSERT_TRUE(count_all(*open(), {}, &tally));
    EXPECT_EQ(figures(tally.total), "all: 1 0 0 0 0 1") << "a golden board is never in the yield";
}

TEST_P(DatabaseTest, TextOfAnyBytesIsStoredAsUtf8)
{
    StoredAttempt a = attempt("bench \xff", "run", "2026-12-04", "SN\xfe" "1", 0, true, "not tested", false);
    a.port = "/dev/\xc3ttyUSB0";
    a.problem = "Could not open serial port /dev/\xc3ttyUSB0.";
    ASSERT_TRUE(open()->add(a));
    std::vector<StoredAttempt> all;
    ASSERT_TRUE(open()->load({}, &all));
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].station, "bench \xEF\xBF\xBD");
    EXPECT_EQ(all[0].label, "SN\xEF\xBF\xBD" "1");
    EXPECT_EQ(all[0].port, "/dev/\xEF\xBF\xBDttyUSB0");
}

TEST_P(DatabaseTest, AMissingTableIsFoundWhenTheStoreOpens)
{
    open();
    std::unique_ptr<SqlConnection> db;
    ASSERT_TRUE(std::string(GetParam()) == "SQLite" ? open_sqlite(where_, &db) : open_postgres(where_, &db));
    ASSERT_TRUE(db->run("DROP TABLE diagnoses", {}, nullptr));
    std::unique_ptr<ResultStore> store;
    const Result opened = open_result_store(where_, &store);
    EXPECT_FALSE(opened);
    EXPECT_NE(opened.why().find("diagnoses"), std::string::npos) << opened.why();
}

INSTANTIATE_TEST_SUITE_P(Station, DatabaseTest, testing::Values("SQLite", "PostgreSQL"),
                         [](const testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

} // namespace
} // namespace korvastation
