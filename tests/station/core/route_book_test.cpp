// The route check's book: what the database read of the line and what this
// station recorded since, laid over it, decide which boards are held.
#include <gtest/gtest.h>

#include <functional>

#include "station/core/route_book.h"

namespace korvastation {
namespace {

const std::string TODAY = "2026-12-10";

std::string at(const std::string& clock, const std::string& day = TODAY)
{
    return day + "T" + clock + ":00.000+01:00";
}

StoredAttempt attempt(const std::string& verdict, const std::string& start, const std::string& id = "run/1")
{
    StoredAttempt a;
    a.id = id;
    a.label = "KV1";
    a.verdict = verdict;
    a.start = start;
    if (verdict == "failed")
        a.counts[TEST_SRAM][1] = 1;
    if (verdict == "hung")
        a.hung_in = "FLASH";
    return a;
}

StoredRepair repair(const std::string& action, const std::string& when, const std::string& id = "bench/repair/1")
{
    StoredRepair r;
    r.id = id;
    r.label = "KV1";
    r.action = action;
    r.at = when;
    r.note = action == REPAIR_SCRAPPED ? "cracked BGA" : "";
    return r;
}

BoardRoute failed_elsewhere(const std::string& when)
{
    BoardRoute r;
    r.label = "KV1";
    r.failed_at = when;
    r.failed_attempt = "other/7";
    r.failed_what = "failed SDRAM";
    return r;
}

struct Case {
    const char* name;
    std::function<void(RouteBook&)> steps;
    std::string held;     // the refusal with require_repair
    std::string without;  // ... without it
    long waiting;
};

const std::string HELD = "KV1 failed SRAM at 10:14: record its repair first";

const Case CASES[] = {
    {"its own failure", [](RouteBook& b) { b.note_attempt(attempt("failed", at("10:14"))); }, HELD, "", 1},
    {"a hang", [](RouteBook& b) { b.note_attempt(attempt("hung", at("10:14"))); },
     "KV1 hung in FLASH at 10:14: record its repair first", "", 1},
    {"repaired",
     [](RouteBook& b) {
         b.note_attempt(attempt("failed", at("10:14")));
         b.note_repair(repair("reflowed", at("10:20")));
     },
     "", "", 0},
    {"a repair before the failure",
     [](RouteBook& b) {
         b.note_repair(repair("reflowed", at("09:00")));
         b.note_attempt(attempt("failed", at("10:14")));
     },
     HELD, "", 1},
    {"passed in the end",
     [](RouteBook& b) {
         b.note_attempt(attempt("failed", at("10:14")));
         b.note_attempt(attempt("passed", at("10:30")));
     },
     "", "", 0},
    {"a lost attempt says nothing of the board",
     [](RouteBook& b) {
         b.note_attempt(attempt("failed", at("10:14")));
         b.note_attempt(attempt("lost", at("10:30")));
     },
     HELD, "", 1},
    {"scrapped, with or without the check",
     [](RouteBook& b) {
         b.note_attempt(attempt("failed", at("10:14")));
         b.note_repair(repair(REPAIR_SCRAPPED, at("10:20")));
     },
     "KV1 was scrapped at 10:20 (cracked BGA): it is not tested again",
     "KV1 was scrapped at 10:20 (cracked BGA): it is not tested again", 0},
    {"another station's failure, read from the database",
     [](RouteBook& b) { b.replace({failed_elsewhere(at("10:14", "2026-12-09"))}, b.noted()); },
     "KV1 failed SDRAM at 2026-12-09 10:14: record its repair first", "", 1},
    {"its own failure outlives a reading asked before it",
     [](RouteBook& b) {
         const unsigned long asked = b.noted();
         b.note_attempt(attempt("failed", at("10:14")));
         b.replace({}, asked);
     },
     HELD, "", 1},
    {"a reading asked after it has the last word (repaired at another bench)",
     [](RouteBook& b) {
         b.note_attempt(attempt("failed", at("10:14")));
         b.replace({}, b.noted());
     },
     "", "", 0},
    {"an older pass does not undo the line's later failure",
     [](RouteBook& b) {
         b.replace({failed_elsewhere(at("10:40"))}, b.noted());
         b.note_attempt(attempt("passed", at("10:14")));
     },
     "KV1 failed SDRAM at 10:40: record its repair first", "", 1},
    {"a supervisor's override",
     [](RouteBook& b) {
         b.note_attempt(attempt("failed", at("10:14")));
         b.allow_once("KV1");
     },
     "", "", 1},
    {"an override is used once",
     [](RouteBook& b) {
         b.note_attempt(attempt("failed", at("10:14")));
         b.allow_once("KV1");
         b.start("KV1");
     },
     HELD, "", 1},
    {"an override never tests a scrapped board",
     [](RouteBook& b) {
         b.note_repair(repair(REPAIR_SCRAPPED, at("10:20")));
         b.allow_once("KV1");
     },
     "KV1 was scrapped at 10:20 (cracked BGA): it is not tested again",
     "KV1 was scrapped at 10:20 (cracked BGA): it is not tested again", 0},
};

TEST(RouteBook, HoldsTheBoardsTheLineFailedOrScrapped)
{
    for (const Case& c : CASES) {
        RouteBook book;
        c.steps(book);
        EXPECT_EQ(book.refusal("KV1", true, TODAY), c.held) << c.name;
        EXPECT_EQ(book.refusal("KV1", false, TODAY), c.without) << c.name;
        EXPECT_EQ(book.waiting(), c.waiting) << c.name;
        EXPECT_EQ(book.refusal("KV2", true, TODAY), "") << c.name << ": another board";
    }
}

// The attempt after a repair names it; the one after that does not.
TEST(RouteBook, TheAttemptAfterARepairNamesIt)
{
    RouteBook book;
    EXPECT_EQ(book.start("KV1"), "");
    book.note_attempt(attempt("failed", at("10:14")));
    book.note_repair(repair("reflowed", at("10:20"), "bench/repair/4"));
    EXPECT_EQ(book.start("KV1"), "bench/repair/4");
    book.note_attempt(attempt("passed", at("10:30"), "run/2"));
    EXPECT_EQ(book.start("KV1"), "");
    // Repaired at another bench, as the database read it.
    BoardRoute repaired = failed_elsewhere(at("11:00"));
    repaired.repaired_at = at("11:10");
    repaired.repair = "bench2/repair/9";
    book.replace({repaired}, book.noted());
    EXPECT_EQ(book.start("KV1"), "bench2/repair/9");
}

} // namespace
} // namespace korvastation
