#include "station/store/result_store.h"

#include <algorithm>
#include <map>

#include "station/run/record_text.h"
#include "station/store/database_name.h"
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
};

const char ATTEMPT_COLUMNS[] =
    "id, station, run, label, port, retest, final, intermittent, started, ended, verdict, problem, passes, hung_in,"
    " fixture, operator";

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

    Result count_boards(const StoreFilter& filter, YieldTally* tally) override
    {
        std::vector<std::string> params;
        SqlRows rows;
        if (const Result r = db_->run(boards_of(filter, &params) +
                                          " SELECT day, station, count(*), sum(first_passed), sum(final_passed),"
                                          " sum(retested), sum(intermittent) FROM boards GROUP BY day, station"
                                          " ORDER BY day, station",
                                      params, &rows);
            !r)
            return r;
        std::map<std::string, YieldRow> days, stations;
        tally->total = {"all"};
        for (const auto& row : rows) {
            YieldRow counted{"", std::stol(row[2]), std::stol(row[3]), std::stol(row[4]), std::stol(row[5]),
                             std::stol(row[6])};
            add_to(&tally->total, counted);
            add_to(&days[row[0]], counted);
            add_to(&stations[row[1]], counted);
        }
        tally->by_day = rows_of(days);
        tally->by_station = rows_of(stations);
        return Result::ok();
    }

    Result count_tests_and_faults(const StoreFilter& filter, YieldTally* tally) override
    {
        tally->by_test.clear();
        for (const char* test : TEST_NAMES) {
            std::vector<std::string> params;
            const std::string boards = boards_of(filter, &params);
            params.push_back(test);
            const std::string t = "$" + std::to_string(params.size());
            SqlRows rows;
            // A board ran a test when its attempt counted it or hung in it.
            if (const Result r = db_->run(
                    boards + " SELECT count(*),"
                    " sum(CASE WHEN coalesce(fc.failed, 0) = 0 AND b.first_hung_in <> " + t + " THEN 1 ELSE 0 END),"
                    " sum(CASE WHEN lc.failed = 0 AND b.last_hung_in <> " + t + " THEN 1 ELSE 0 END),"
                    " sum(retested), sum(intermittent) FROM boards b"
                    " LEFT JOIN test_counts fc ON fc.attempt = b.first_id AND fc.test = " + t +
                    " LEFT JOIN test_counts lc ON lc.attempt = b.last_id AND lc.test = " + t +
                    " WHERE fc.attempt IS NOT NULL OR b.first_hung_in = " + t,
                    params, &rows);
                !r)
                return r;
            if (!rows.empty() && std::stol(rows[0][0]) > 0)
                tally->by_test.push_back({test, std::stol(rows[0][0]), std::stol(rows[0][1]), std::stol(rows[0][2]),
                                          std::stol(rows[0][3]), std::stol(rows[0][4])});
        }
        return count_faults(filter, tally);
    }

    Result load(const StoreFilter& f, std::vector<StoredAttempt>* attempts) override
    {
        std::vector<std::string> params;
        const std::string conditions = conditions_of(f, "", &params);
        const std::string where = conditions.empty() ? "" : " WHERE " + conditions;
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
            a.fixture = row[14];
            a.operator_name = row[15];
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
    // The filter's conditions on the attempts' columns (prefix names their
    // table), joined by AND; empty when it takes everything.
    static std::string conditions_of(const StoreFilter& f, const std::string& prefix,
                                     std::vector<std::string>* params)
    {
        std::string conditions;
        auto condition = [&](const std::string& value, const std::string& test) {
            if (value.empty())
                return;
            params->push_back(value);
            conditions += (conditions.empty() ? "" : " AND ") + prefix + test + " CAST($" +
                          std::to_string(params->size()) + " AS TEXT)";
        };
        // Every start of a day sorts between "YYYY-MM-DD" and "YYYY-MM-DDU".
        condition(f.since, "started >=");
        condition(f.until.empty() ? "" : f.until + "U", "started <");
        condition(f.station, "station =");
        condition(f.label, "label =");
        condition(f.leave_out_run, "run <>");
        return conditions;
    }

    // The boards as a common table: one row per board whose first attempt
    // the filter takes and whose last attempt was recorded.
    static std::string boards_of(const StoreFilter& f, std::vector<std::string>* params)
    {
        const std::string conditions = conditions_of(f, "a.", params);
        const std::string where = " WHERE a.retest = 0" + (conditions.empty() ? "" : " AND " + conditions);
        return "WITH boards AS (SELECT a.id AS first_id, z.id AS last_id, a.run AS run, a.label AS label,"
               " substr(a.started, 1, 10) AS day, a.station AS station,"
               " CASE WHEN a.verdict = 'passed' THEN 1 ELSE 0 END AS first_passed,"
               " CASE WHEN z.verdict = 'passed' THEN 1 ELSE 0 END AS final_passed,"
               " CASE WHEN z.retest > 0 THEN 1 ELSE 0 END AS retested, z.intermittent AS intermittent,"
               " a.hung_in AS first_hung_in, z.hung_in AS last_hung_in"
               " FROM attempts a JOIN attempts z ON z.run = a.run AND z.label = a.label AND z.final = 1" +
               where + ")";
    }

    // Each board counts once per fault: an attempt's diagnosis is one fault
    // (its candidates in one order, whichever order they were found in), and
    // a hang in a test is one too.
    Result count_faults(const StoreFilter& filter, YieldTally* tally)
    {
        std::vector<std::string> params;
        std::string tests;
        for (const char* test : TEST_NAMES)
            tests += std::string(tests.empty() ? "'" : ", '") + test + "'";
        SqlRows rows;
        if (const Result r = db_->run(
                boards_of(filter, &params) +
                    ", diagnosed AS (SELECT attempt, " + db_->text_aggregate() + "(fault, ' or ') AS fault"
                    " FROM (SELECT attempt, fault FROM diagnoses ORDER BY attempt, fault) d GROUP BY attempt),"
                    " board_faults AS (SELECT b.first_id AS board, d.fault AS fault FROM boards b"
                    " JOIN attempts x ON x.run = b.run AND x.label = b.label JOIN diagnosed d ON d.attempt = x.id"
                    " UNION SELECT b.first_id, 'hung in ' || x.hung_in FROM boards b"
                    " JOIN attempts x ON x.run = b.run AND x.label = b.label"
                    " WHERE x.verdict = 'hung' AND x.hung_in IN (" + tests + "))"
                    " SELECT fault, count(*) FROM board_faults GROUP BY fault ORDER BY count(*) DESC, fault",
                params, &rows);
            !r)
            return r;
        tally->faults.clear();
        for (const auto& row : rows)
            tally->faults.push_back({row[0], std::stol(row[1])});
        return Result::ok();
    }

    static void add_to(YieldRow* row, const YieldRow& counted)
    {
        row->boards += counted.boards;
        row->first_pass += counted.first_pass;
        row->final_pass += counted.final_pass;
        row->retested += counted.retested;
        row->intermittent += counted.intermittent;
    }

    static std::vector<YieldRow> rows_of(std::map<std::string, YieldRow>& rows)
    {
        std::vector<YieldRow> list;
        for (auto& [key, row] : rows) {
            row.key = key;
            list.push_back(row);
        }
        return list;
    }

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
        for (int from = std::max(version, 1); from < RESULT_SCHEMA_VERSION; ++from) {
            for (const char* statement : SCHEMA_UPGRADES.at(from - 1))
                if (const Result r = db_->run(statement, {}, nullptr); !r)
                    return r;
            if (const Result r = db_->run("INSERT INTO korva_schema (version) VALUES (" + std::to_string(from + 1) + ")",
                                          {}, nullptr);
                !r)
                return r;
        }
        return Result::ok();
    }

    Result add_in_transaction(const StoredAttempt& given)
    {
        StoredAttempt a = given;
        for (std::string* text : {&a.station, &a.run, &a.label, &a.port, &a.problem, &a.fixture, &a.operator_name})
            *text = record_text(*text);
        SqlRows id;
        const Result added = db_->run(
            "INSERT INTO attempts (station, run, label, port, retest, final, intermittent, started, ended, verdict,"
            " problem, passes, hung_in, fixture, operator) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13,"
            " $14, $15) RETURNING id",
            {a.station, a.run, a.label, a.port, std::to_string(a.retest), a.final_attempt ? "1" : "0",
             a.intermittent ? "1" : "0", a.start, a.end, a.verdict, a.problem, std::to_string(a.passes), a.hung_in,
             a.fixture, a.operator_name},
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
