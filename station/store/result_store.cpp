#include "station/store/result_store.h"

#include <map>

#include "station/outputs/record_text.h"
#include "station/store/sql_connection.h"

namespace korvastation {

using korvasim::Result;

namespace {

// The same text for both databases: $N parameters, types both know, and
// flags as integers.
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

// Version 2: where a hung attempt stopped, so that a hang counts against its
// test; the boards' attempts found by the database for the day's yield.
const char* const SCHEMA_V2[] = {
    "ALTER TABLE attempts ADD COLUMN hung_in TEXT NOT NULL DEFAULT ''",
    "CREATE INDEX attempts_board ON attempts (run, label)",
};

const char ATTEMPT_COLUMNS[] =
    "id, station, run, label, port, retest, final, intermittent, started, ended, verdict, problem, passes, hung_in";

class SqlResultStore : public ResultStore {
public:
    explicit SqlResultStore(std::unique_ptr<SqlConnection> db) : db_(std::move(db)) {}

    // Brings the schema up to this program's version, one step at a time,
    // while no other station writes.
    Result upgrade(const std::string& id_type)
    {
        if (const Result begun = db_->begin_exclusive(); !begun)
            return begun;
        const Result done = upgrade_in_transaction(id_type);
        return finish(done);
    }

    // Every table of the schema answers: a file whose tables were dropped or
    // renamed is found before a run, not at its first record.
    Result check_tables()
    {
        for (const char* table : {"attempts", "test_counts", "diagnoses"})
            if (const Result r = db_->run(std::string("SELECT count(*) FROM ") + table + " WHERE 1 = 0", {}, nullptr);
                !r)
                return r;
        return Result::ok();
    }

    // A server restarted, or one that did not answer, is given one more
    // connection before the attempt counts as not stored.
    Result add(const StoredAttempt& a) override
    {
        const Result added = add_once(a);
        if (added || !db_->reconnect())
            return added;
        return add_once(a);
    }

    // Counted by the database: the station's memory does not grow with it.
    Result day_yield(const std::string& day, std::vector<DayYield>* stations) override
    {
        // Every start of the day sorts between these two texts.
        const std::vector<std::string> params = {day + "T", day + "U"};
        SqlRows first, last;
        if (const Result r = db_->run("SELECT station, count(*), sum(CASE WHEN verdict = 'passed' THEN 1 ELSE 0 END)"
                                      " FROM attempts WHERE retest = 0 AND started >= $1 AND started < $2"
                                      " GROUP BY station ORDER BY station",
                                      params, &first);
            !r)
            return r;
        if (const Result r = db_->run("SELECT f.station, count(*) FROM attempts f WHERE f.final = 1"
                                      " AND f.verdict = 'passed' AND EXISTS (SELECT 1 FROM attempts a"
                                      " WHERE a.run = f.run AND a.label = f.label AND a.retest = 0"
                                      " AND a.started >= $1 AND a.started < $2) GROUP BY f.station",
                                      params, &last);
            !r)
            return r;
        stations->clear();
        for (const auto& row : first)
            stations->push_back({row[0], std::stol(row[1]), std::stol(row[2].empty() ? "0" : row[2]), 0});
        for (const auto& row : last)
            for (DayYield& y : *stations)
                if (y.station == row[0])
                    y.final_pass = std::stol(row[1]);
        return Result::ok();
    }

    Result load(const StoreFilter& f, std::vector<StoredAttempt>* attempts) override
    {
        const std::string where =
            " WHERE (CAST($1 AS TEXT) = '' OR substr(started, 1, 10) >= CAST($1 AS TEXT))"
            " AND (CAST($2 AS TEXT) = '' OR substr(started, 1, 10) <= CAST($2 AS TEXT))"
            " AND (CAST($3 AS TEXT) = '' OR station = CAST($3 AS TEXT))"
            " AND (CAST($4 AS TEXT) = '' OR label = CAST($4 AS TEXT))";
        const std::vector<std::string> params = {f.since, f.until, f.station, f.label};
        SqlRows rows, counts, faults;
        if (const Result r = db_->run(std::string("SELECT ") + ATTEMPT_COLUMNS + " FROM attempts" + where +
                                          " ORDER BY started, run, label, retest",
                                      params, &rows);
            !r)
            return r;
        const std::string of_these = " WHERE attempt IN (SELECT id FROM attempts" + where + ")";
        if (const Result r = db_->run("SELECT attempt, test, passed, failed FROM test_counts" + of_these, params,
                                      &counts);
            !r)
            return r;
        if (const Result r = db_->run("SELECT attempt, fault FROM diagnoses" + of_these, params, &faults); !r)
            return r;
        std::map<std::string, size_t> by_id;
        for (const auto& row : rows) {
            StoredAttempt a;
            a.station = row[1];
            a.run = row[2];
            a.label = row[3];
            a.port = row[4];
            a.retest = std::stoi(row[5]);
            a.final_attempt = row[6] != "0";
            a.intermittent = row[7] != "0";
            a.start = row[8];
            a.end = row[9];
            a.verdict = row[10];
            a.problem = row[11];
            a.passes = std::stol(row[12]);
            a.hung_in = row[13];
            by_id[row[0]] = attempts->size();
            attempts->push_back(std::move(a));
        }
        for (const auto& row : counts)
            for (int t = 0; t < BOARD_TEST_COUNT; ++t)
                if (by_id.count(row[0]) && row[1] == TEST_NAMES[t]) {
                    (*attempts)[by_id[row[0]]].counts[t][0] = std::stol(row[2]);
                    (*attempts)[by_id[row[0]]].counts[t][1] = std::stol(row[3]);
                }
        for (const auto& row : faults)
            if (by_id.count(row[0]))
                (*attempts)[by_id[row[0]]].diagnosis.push_back(row[1]);
        return Result::ok();
    }

private:
    Result finish(const Result& done)
    {
        if (!done) {
            db_->run("ROLLBACK", {}, nullptr);  // the failure is what is told
            return done;
        }
        return db_->run("COMMIT", {}, nullptr);
    }

    Result add_once(const StoredAttempt& a)
    {
        if (const Result begun = db_->begin_exclusive(); !begun)
            return begun;
        return finish(add_in_transaction(a));
    }

    Result upgrade_in_transaction(const std::string& id_type)
    {
        if (const Result r = db_->run("CREATE TABLE IF NOT EXISTS korva_schema (version INTEGER NOT NULL)", {}, nullptr);
            !r)
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
            for (std::string statement : SCHEMA_V1) {
                const size_t id = statement.find("{ID}");
                if (id != std::string::npos)
                    statement.replace(id, 4, id_type);
                if (const Result r = db_->run(statement, {}, nullptr); !r)
                    return r;
            }
            if (const Result r = db_->run("INSERT INTO korva_schema (version) VALUES (1)", {}, nullptr); !r)
                return r;
        }
        if (version < 2) {
            for (const char* statement : SCHEMA_V2)
                if (const Result r = db_->run(statement, {}, nullptr); !r)
                    return r;
            if (const Result r = db_->run("INSERT INTO korva_schema (version) VALUES (2)", {}, nullptr); !r)
                return r;
        }
        return Result::ok();
    }

    Result add_in_transaction(const StoredAttempt& given)
    {
        StoredAttempt a = given;
        for (std::string* text : {&a.station, &a.run, &a.label, &a.port, &a.problem})
            *text = record_text(*text);
        SqlRows id;
        const Result added = db_->run(
            "INSERT INTO attempts (station, run, label, port, retest, final, intermittent, started, ended, verdict,"
            " problem, passes, hung_in) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13) RETURNING id",
            {a.station, a.run, a.label, a.port, std::to_string(a.retest), a.final_attempt ? "1" : "0",
             a.intermittent ? "1" : "0", a.start, a.end, a.verdict, a.problem, std::to_string(a.passes), a.hung_in},
            &id);
        if (!added)
            return added;
        for (int t = 0; t < BOARD_TEST_COUNT; ++t)
            if (a.counts[t][0] + a.counts[t][1] > 0)
                if (const Result r = db_->run("INSERT INTO test_counts (attempt, test, passed, failed) VALUES ($1, $2, $3, $4)",
                                              {id.at(0).at(0), TEST_NAMES[t], std::to_string(a.counts[t][0]),
                                               std::to_string(a.counts[t][1])},
                                              nullptr);
                    !r)
                    return r;
        for (const std::string& fault : a.diagnosis)
            if (const Result r = db_->run("INSERT INTO diagnoses (attempt, fault) VALUES ($1, $2)", {id.at(0).at(0), fault},
                                          nullptr);
                !r)
                return r;
        return Result::ok();
    }

    std::unique_ptr<SqlConnection> db_;
};

} // namespace

bool is_server_uri(const std::string& where)
{
    return where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0;
}

Result check_database_name(const std::string& where)
{
    if (is_server_uri(where))
        return Result::ok();
    // libpq's keyword form: a word, '=', and more of the same.
    const size_t equals = where.find('=');
    const size_t word_end = where.find_first_not_of("abcdefghijklmnopqrstuvwxyz_ ");
    if (equals != std::string::npos && word_end == equals && where.find('/') == std::string::npos)
        return Result::failure("bad --db '" + shown_database(where) +
                               "': a keyword connection string; give a postgresql:// URI or a SQLite file");
    if (where.find("://") != std::string::npos)
        return Result::failure("bad --db '" + shown_database(where) +
                               "': only postgresql:// URIs name a server; a SQLite file is named by its path");
    return Result::ok();
}

std::string shown_database(const std::string& where)
{
    std::string shown = where;
    const size_t scheme = shown.find("://");
    const size_t authority = scheme == std::string::npos ? 0 : scheme + 3;
    const size_t at = shown.find('@', authority);
    const size_t slash = shown.find('/', authority);
    if (scheme != std::string::npos && at != std::string::npos && (slash == std::string::npos || at < slash)) {
        const size_t colon = shown.find(':', authority);
        if (colon != std::string::npos && colon < at)
            shown = shown.substr(0, colon) + ":***" + shown.substr(at);
    }
    // password=... in a URI's query or a keyword string, up to its end.
    for (size_t at_key = 0; (at_key = shown.find("password=", at_key)) != std::string::npos;) {
        const size_t value = at_key + 9;
        const size_t end = shown.find_first_of("& ", value);
        shown.replace(value, (end == std::string::npos ? shown.size() : end) - value, "***");
        at_key = value;
    }
    return shown;
}

Result open_result_store(const std::string& where, std::unique_ptr<ResultStore>* store)
{
    const bool server = is_server_uri(where);
    std::unique_ptr<SqlConnection> db;
    if (const Result opened = server ? open_postgres(where, &db) : open_sqlite(where, &db); !opened)
        return opened;
    auto sql = std::make_unique<SqlResultStore>(std::move(db));
    if (const Result upgraded = sql->upgrade(server ? "BIGSERIAL PRIMARY KEY" : "INTEGER PRIMARY KEY AUTOINCREMENT");
        !upgraded)
        return upgraded;
    if (const Result checked = sql->check_tables(); !checked)
        return checked;
    *store = std::move(sql);
    return Result::ok();
}

} // namespace korvastation
