// The records' schema, version by version, and its upgrade.
#include <algorithm>

#include "station/store/sql_result_store.h"

namespace korvastation {

using korvasim::Result;

namespace {

// {ID} stands for the database's own auto-numbered key.
const char* const SCHEMA_V1[] = {
    "CREATE TABLE attempts (id {ID}, station TEXT NOT NULL, run TEXT NOT NULL, label TEXT NOT NULL,"
    " port TEXT NOT NULL, retest INTEGER NOT NULL, final INTEGER NOT NULL, intermittent INTEGER NOT NULL,"
    " started TEXT NOT NULL, ended TEXT NOT NULL, verdict TEXT NOT NULL, problem TEXT NOT NULL,"
    " passes BIGINT NOT NULL)",
    "CREATE INDEX attempts_started ON attempts (started)",
    "CREATE INDEX attempts_label ON attempts (label)",
    "CREATE TABLE test_counts (attempt BIGINT NOT NULL REFERENCES attempts (id), test TEXT NOT NULL,"
    " passed BIGINT NOT NULL, failed BIGINT NOT NULL)",
    "CREATE TABLE diagnoses (attempt BIGINT NOT NULL REFERENCES attempts (id), fault TEXT NOT NULL)",
};

// Each later version's statements, from version 2 on.
const std::vector<std::vector<const char*>> SCHEMA_UPGRADES = {
    // Where a hung attempt stopped, so that a hang counts against its test;
    // the boards' attempts found by the database for the yield.
    {"ALTER TABLE attempts ADD COLUMN hung_in TEXT NOT NULL DEFAULT ''",
     "CREATE INDEX attempts_board ON attempts (run, label)"},
    // A board's counts and diagnoses found by the database for the yield.
    {"CREATE INDEX test_counts_attempt ON test_counts (attempt)",
     "CREATE INDEX diagnoses_attempt ON diagnoses (attempt)"},
    // A served station's fixture and operator of each attempt.
    {"ALTER TABLE attempts ADD COLUMN fixture TEXT NOT NULL DEFAULT ''",
     "ALTER TABLE attempts ADD COLUMN operator TEXT NOT NULL DEFAULT ''"},
    // Each attempt once by its identity (a record written again after an
    // outage changes nothing); a failure that no single fault explains,
    // with the faults that came closest; a fixture's known-good board;
    // what happened at a station besides its attempts.
    {"ALTER TABLE attempts ADD COLUMN attempt_key TEXT",
     "CREATE UNIQUE INDEX attempts_key ON attempts (attempt_key)",
     "ALTER TABLE attempts ADD COLUMN diagnosis_note TEXT NOT NULL DEFAULT ''",
     "ALTER TABLE attempts ADD COLUMN closest TEXT NOT NULL DEFAULT ''",
     "ALTER TABLE attempts ADD COLUMN golden INTEGER NOT NULL DEFAULT 0",
     "CREATE TABLE station_events (id {ID}, event_key TEXT UNIQUE, station TEXT NOT NULL, at TEXT NOT NULL,"
     " kind TEXT NOT NULL, fixture TEXT NOT NULL, operator TEXT NOT NULL, detail TEXT NOT NULL)",
     "CREATE INDEX station_events_at ON station_events (at)"},
    // How worn each attempt's fixture was: its boards since its maintenance.
    {"ALTER TABLE attempts ADD COLUMN fixture_cycles BIGINT NOT NULL DEFAULT 0"},
    // The repair loop: where to probe each candidate of a diagnosis, the
    // repairs recorded at a repair bench, and the repair an attempt came
    // after.
    {"ALTER TABLE diagnoses ADD COLUMN probe_points TEXT NOT NULL DEFAULT ''",
     "ALTER TABLE attempts ADD COLUMN after_repair TEXT NOT NULL DEFAULT ''",
     "CREATE TABLE repairs (id {ID}, repair_key TEXT UNIQUE, station TEXT NOT NULL, at TEXT NOT NULL,"
     " label TEXT NOT NULL, action TEXT NOT NULL, components TEXT NOT NULL, note TEXT NOT NULL,"
     " technician TEXT NOT NULL, failed_attempt TEXT NOT NULL, diagnosis TEXT NOT NULL)",
     "CREATE INDEX repairs_label ON repairs (label)"},
};

std::string with_id_type(std::string statement, const std::string& id_type)
{
    const size_t id = statement.find("{ID}");
    if (id != std::string::npos)
        statement.replace(id, 4, id_type);
    return statement;
}

} // namespace

Result SqlResultStore::upgrade(const std::string& id_type)
{
    id_type_ = id_type;
    if (const Result begun = db_->begin_exclusive(); !begun)
        return begun;
    return finish(upgrade_in_transaction(id_type));
}

Result SqlResultStore::check_tables()
{
    for (const char* table : {"attempts", "test_counts", "diagnoses", "station_events", "repairs"})
        if (const Result r = db_->run(std::string("SELECT count(*) FROM ") + table + " WHERE 1 = 0", {}, nullptr); !r)
            return r;
    return Result::ok();
}

Result SqlResultStore::upgrade_in_transaction(const std::string& id_type)
{
    if (const Result r = db_->run("CREATE TABLE IF NOT EXISTS korva_schema (version INTEGER NOT NULL)", {}, nullptr); !r)
        return r;
    SqlRows rows;
    if (const Result r = db_->run("SELECT max(version) FROM korva_schema", {}, &rows); !r)
        return r;
    const int version = rows.empty() || rows[0][0].empty() ? 0 : std::stoi(rows[0][0]);
    if (version > RESULT_SCHEMA_VERSION)
        return Result::failure(db_->name() + ": its records are of schema version " + std::to_string(version) +
                               ", newer than this korvastation's (" + std::to_string(RESULT_SCHEMA_VERSION) +
                               "): use a newer korvastation");
    if (version < 1) {
        for (const char* statement : SCHEMA_V1)
            if (const Result r = db_->run(with_id_type(statement, id_type), {}, nullptr); !r)
                return r;
        if (const Result r = db_->run("INSERT INTO korva_schema (version) VALUES (1)", {}, nullptr); !r)
            return r;
    }
    for (int from = std::max(version, 1); from < RESULT_SCHEMA_VERSION; ++from) {
        for (const char* statement : SCHEMA_UPGRADES.at(from - 1))
            if (const Result r = db_->run(with_id_type(statement, id_type), {}, nullptr); !r)
                return r;
        if (const Result r =
                db_->run("INSERT INTO korva_schema (version) VALUES (" + std::to_string(from + 1) + ")", {}, nullptr);
            !r)
            return r;
    }
    return Result::ok();
}

Result SqlResultStore::finish(const Result& done)
{
    if (!done) {
        db_->run("ROLLBACK", {}, nullptr);  // the failure is what is told
        return done;
    }
    return db_->run("COMMIT", {}, nullptr);
}

} // namespace korvastation
