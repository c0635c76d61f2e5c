// A database of each kind for the store's tests: SQLite in a fresh folder,
// or a real PostgreSQL server started for the test; and an attempt made up
// from a few of its fields.
#ifndef KORVA_DATABASE_FIXTURE_H
#define KORVA_DATABASE_FIXTURE_H

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "station/store/result_store.h"
#include "station/store/sql_connection.h"
#include "tests/support/postgres_server.h"
#include "tests/support/session.h"

namespace korvastation {

using korvasim::Result;

// A database of each kind, new for each test.
class DatabaseTest : public testing::TestWithParam<const char*> {
protected:
    void SetUp() override
    {
        if (std::string(GetParam()) == "SQLite") {
            where_ = make_temp_dir() + "/records.db";
            return;
        }
        server_ = std::make_unique<PostgresServer>();
        if (!server_->available())
            GTEST_SKIP() << server_->why();
        where_ = server_->uri();
    }

    std::unique_ptr<ResultStore> open()
    {
        std::unique_ptr<ResultStore> store;
        const Result opened = open_result_store(where_, &store);
        EXPECT_TRUE(opened) << opened.why();
        return store;
    }

    std::string where_;
    std::unique_ptr<PostgresServer> server_;
};

inline StoredAttempt attempt(const std::string& station, const std::string& run, const std::string& day,
                      const std::string& label, int retest, bool final_attempt, const std::string& verdict,
                      bool sram_failed, std::vector<std::string> diagnosis = {}, bool intermittent = false)
{
    // Each attempt a second after the one before, in the order they are made.
    static int made = 0;
    ++made;
    char start[32];
    snprintf(start, sizeof start, "T08:%02d:%02d.000Z", made / 60 % 60, made % 60);
    StoredAttempt a;
    a.station = station;
    a.run = run;
    a.label = label;
    a.port = "/dev/ttyUSB0";
    a.retest = retest;
    a.final_attempt = final_attempt;
    a.intermittent = intermittent;
    a.start = day + start;
    a.end = day + "T09:00:00.000Z";
    a.verdict = verdict;
    a.passes = verdict == "hung" ? 0 : 1;
    for (int t = 0; t < BOARD_TEST_COUNT; ++t)
        a.counts[t][0] = verdict == "hung" ? 0 : 1;
    if (sram_failed) {
        a.counts[TEST_SRAM][0] = 0;
        a.counts[TEST_SRAM][1] = 1;
    }
    a.diagnosis = std::move(diagnosis);
    return a;
}

// A repair at the bench "bench" by "tess", a new identity each.
inline StoredRepair repair(const std::string& label, const std::string& at, const std::string& action,
                    const std::string& components, const std::string& failed_attempt, const std::string& diagnosis)
{
    static int made = 0;
    return {"repair/" + std::to_string(++made), "bench", at, label, action, components, "", "tess", failed_attempt,
            diagnosis};
}

} // namespace korvastation

#endif
