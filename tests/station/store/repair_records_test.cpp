// Repairs in SQLite and in a real PostgreSQL server: each stored once and
// read back by board and day; an attempt's probe points and the repair it
// followed; and the repair report against hand-counted records.
#include <gtest/gtest.h>

#include "station/report/repair_report.h"
#include "tests/station/store/database_fixture.h"

namespace korvastation {
namespace {

class RepairStoreTest : public DatabaseTest {};

TEST_P(RepairStoreTest, RepairsAreStoredOnceAndReadBackByBoardAndDay)
{
    const StoredRepair first = repair("KV1", "2026-12-01T10:00:00.000+01:00", "reflowed", "U7, R43", "run1/1",
                                      "SRAM data line 3 stuck at 0");
    const StoredRepair second = repair("KV2", "2026-12-02T09:00:00.000+01:00", "scrapped", "", "run1/2", "X");
    {
        auto store = open();
        ASSERT_TRUE(store->add_repair(first));
        ASSERT_TRUE(store->add_repair(second));
        ASSERT_TRUE(store->add_repair(first)) << "a repair written again changes nothing";
    }
    std::vector<StoredRepair> all, of_board, of_day;
    ASSERT_TRUE(open()->load_repairs({}, &all));
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].id, first.id);
    EXPECT_EQ(all[0].components, "U7, R43");
    EXPECT_EQ(all[0].technician, "tess");
    EXPECT_EQ(all[0].failed_attempt, "run1/1");
    EXPECT_EQ(all[0].diagnosis, "SRAM data line 3 stuck at 0");
    StoreFilter board;
    board.label = "KV2";
    ASSERT_TRUE(open()->load_repairs(board, &of_board));
    ASSERT_EQ(of_board.size(), 1u);
    EXPECT_EQ(of_board[0].action, "scrapped");
    StoreFilter day;
    day.since = day.until = "2026-12-01";
    ASSERT_TRUE(open()->load_repairs(day, &of_day));
    ASSERT_EQ(of_day.size(), 1u);
    EXPECT_EQ(of_day[0].label, "KV1");
}

TEST_P(RepairStoreTest, ProbePointsAndTheRepairAnAttemptFollowedAreReadBack)
{
    StoredAttempt failed = attempt("A", "run1", "2026-12-01", "KV1", 0, true, "failed", true,
                                   {"SRAM data line 3 stuck at 0", "SRAM data lines 3 and 4 shorted"});
    failed.probe_points = {"SRAM D3: U7 pin 12 (DQ3)", "SRAM D3: U7 pin 12 (DQ3); SRAM D4: U7 pin 13 (DQ4)"};
    StoredAttempt again = attempt("A", "run1", "2026-12-02", "KV1", 0, true, "passed", false);
    again.after_repair = "repair/7";
    ASSERT_TRUE(open()->add(failed));
    ASSERT_TRUE(open()->add(again));
    std::vector<StoredAttempt> all;
    ASSERT_TRUE(open()->load({}, &all));
    ASSERT_EQ(all.size(), 2u);
    // Candidates come back in the order of their names, each with its points.
    EXPECT_EQ(all[0].diagnosis, failed.diagnosis);
    EXPECT_EQ(all[0].probe_points, failed.probe_points);
    EXPECT_EQ(all[0].after_repair, "");
    EXPECT_EQ(all[1].after_repair, "repair/7");
}

// The boards the route check may stop: a board's last final attempt with
// a verdict on the board decides (a retest, a lost attempt or a golden
// board's does not), a repair since its failure and a scrapping are
// found, and boards that passed in the end are not read at all.
TEST_P(RepairStoreTest, TheRoutesNameTheFailedAndTheScrappedBoards)
{
    const std::string day = "2026-12-01";
    std::vector<StoredAttempt> attempts = {
        attempt("A", "run1", day, "KV1", 0, true, "failed", true, {"SRAM data line 3 stuck at 0"}),
        attempt("A", "run1", day, "KV2", 0, true, "failed", true),
        attempt("A", "run1", day, "KV2", 0, true, "passed", false),
        attempt("A", "run1", day, "KV3", 0, true, "hung", false),
        attempt("A", "run1", day, "KV4", 0, true, "passed", false),
        attempt("A", "run1", day, "KV5", 0, true, "failed", true),
        attempt("A", "run1", day, "KV5", 0, true, "lost", false),
        attempt("A", "run1", day, "KV6", 0, false, "failed", true),
        attempt("A", "run1", day, "KV6", 1, true, "passed", false),
        attempt("A", "run1", day, "KVG", 0, true, "failed", true),
    };
    attempts[3].hung_in = "FLASH";
    attempts[9].golden = true;
    attempts[0].counts[TEST_SDRAM][1] = 1;
    for (size_t i = 0; i < attempts.size(); ++i)
        attempts[i].id = "run1/" + std::to_string(i);
    {
        auto store = open();
        for (const StoredAttempt& a : attempts)
            ASSERT_TRUE(store->add(a));
        StoredRepair scrapped = repair("KV4", day + "T10:00:00.000Z", "scrapped", "", "", "");
        scrapped.note = "cracked BGA";
        for (const StoredRepair& r : {repair("KV1", day + "T07:00:00.000Z", "cleaned", "", "", ""),
                                      repair("KV1", day + "T10:00:00.000Z", "reflowed", "U7", "run1/0", ""), scrapped})
            ASSERT_TRUE(store->add_repair(r));
    }
    std::vector<BoardRoute> routes;
    ASSERT_TRUE(open()->load_routes(&routes));
    std::vector<std::string> seen;
    for (const BoardRoute& r : routes)
        seen.push_back(r.label + ": " + r.failed_what + " [" + r.failed_attempt + "] " + r.diagnosis + " | " +
                       (r.repaired_at.empty() ? "" : "repaired " + r.repaired_at) + " | " + r.scrapped_at + " " +
                       r.scrapped_why);
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "KV1: failed SDRAM and SRAM [run1/0] SRAM data line 3 stuck at 0 | repaired " + day +
                            "T10:00:00.000Z |  ",
                        "KV3: hung in FLASH [run1/3]  |  |  ",
                        "KV4:  []  |  | " + day + "T10:00:00.000Z cracked BGA",
                        "KV5: failed SRAM [run1/5]  |  |  ",
                    }));
}

// Counted by hand. SRAM D3 failed KV1, KV2 and KV3: KV1 reflowed (U7) and
// passed 3 h after its failure, KV2 no fault found and passed 1.5 h after,
// KV3 replaced (U7, R43), failed again and was scrapped. SDRAM D17 failed
// KV4 (never repaired) and KV5: replaced (U5), passed the next day, 24 h.
TEST_P(RepairStoreTest, TheRepairReportCountsWhatWasRecorded)
{
    const std::string D3 = "SRAM data line 3 stuck at 0", D17 = "SDRAM data line 17 stuck at 1";
    const auto at = [](const std::string& label, const std::string& start, const std::string& verdict,
                       const std::string& fault, const std::string& id) {
        StoredAttempt a = attempt("A", "run1", "2026-12-01", label, 0, true, verdict, verdict == "failed",
                                  fault.empty() ? std::vector<std::string>{} : std::vector<std::string>{fault});
        a.start = start;
        a.id = id;
        return a;
    };
    {
        auto store = open();
        for (const StoredAttempt& a :
             {at("KV1", "2026-12-01T08:00:00.000Z", "failed", D3, "run1/1"),
              at("KV2", "2026-12-01T08:00:00.000Z", "failed", D3, "run1/2"),
              at("KV3", "2026-12-01T08:20:00.000Z", "failed", D3, "run1/3"),
              at("KV4", "2026-12-01T08:30:00.000Z", "failed", D17, "run1/4"),
              at("KV5", "2026-12-01T08:40:00.000Z", "failed", D17, "run1/5"),
              at("KV1", "2026-12-01T11:00:00.000Z", "passed", "", "run1/6"),
              at("KV2", "2026-12-01T09:30:00.000Z", "passed", "", "run1/7"),
              at("KV3", "2026-12-01T13:00:00.000Z", "failed", D3, "run1/8"),
              at("KV5", "2026-12-02T08:40:00.000Z", "passed", "", "run1/9")})
            ASSERT_TRUE(store->add(a));
        // Repair times in another zone than the attempts': instants compare.
        for (const StoredRepair& r :
             {repair("KV1", "2026-12-01T11:00:00.000+01:00", "reflowed", "U7", "run1/1", D3),
              repair("KV2", "2026-12-01T08:10:00.000Z", "no fault found", "", "run1/2", D3),
              repair("KV3", "2026-12-01T12:20:00.000Z", "replaced", "U7, R43", "run1/3", D3),
              repair("KV3", "2026-12-01T14:00:00.000Z", "scrapped", "", "run1/8", D3),
              repair("KV5", "2026-12-01T09:40:00.000Z", "replaced", "U5", "run1/5", D17)})
            ASSERT_TRUE(store->add_repair(r));
    }
    RepairReport report;
    ASSERT_TRUE(make_repair_report(*open(), {}, &report));
    const auto shown = [](const RepairRow& r) {
        char text[200];
        snprintf(text, sizeof text, "%s: %ld %ld %ld %ld %ld %.2f", r.diagnosis.c_str(), r.failed, r.repaired,
                 r.passed, r.scrapped, r.no_fault_found, r.hours_to_pass);
        return std::string(text);
    };
    ASSERT_EQ(report.rows.size(), 2u);
    EXPECT_EQ(shown(report.rows[0]), D3 + ": 3 3 2 1 1 2.25");
    EXPECT_EQ(shown(report.rows[1]), D17 + ": 2 1 1 0 0 24.00");
    EXPECT_EQ(shown(report.total), "all: 5 4 3 1 1 9.50");
    EXPECT_EQ(report.rows[0].fixed_by_action, (std::map<std::string, long>{{"no fault found", 1}, {"reflowed", 1}}));
    EXPECT_EQ(report.rows[0].fixed_by_component, (std::map<std::string, long>{{"U7", 1}}));
    EXPECT_EQ(report.rows[1].fixed_by_component, (std::map<std::string, long>{{"U5", 1}}));
    EXPECT_DOUBLE_EQ(report.total.repair_yield(), 0.75);
    // Every form has every diagnosis and the total.
    for (ReportFormat f : {ReportFormat::TABLE, ReportFormat::CSV, ReportFormat::JSON, ReportFormat::HTML}) {
        const std::string text = format_repair_report(report, f);
        EXPECT_NE(text.find(D3), std::string::npos);
        EXPECT_NE(text.find(D17), std::string::npos);
    }
    EXPECT_NE(format_repair_report(report, ReportFormat::TABLE).find("75.0%"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Station, RepairStoreTest, testing::Values("SQLite", "PostgreSQL"),
                         [](const testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

} // namespace
} // namespace korvastation
