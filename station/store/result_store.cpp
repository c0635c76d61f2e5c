// The records themselves: an attempt or an event written once, and read
// back.
#include "station/store/result_store.h"

#include <map>

#include "station/run/record_text.h"
#include "station/store/database_name.h"
#include "station/store/sql_result_store.h"

namespace korvastation {

using korvasim::Result;

const char UNEXPLAINED_FAULT[] = "not explained by a single fault";

namespace {

const char ATTEMPT_COLUMNS[] =
    "id, station, run, label, port, retest, final, intermittent, started, ended, verdict, problem, passes, hung_in,"
    " fixture, operator, attempt_key, diagnosis_note, closest, golden, fixture_cycles, after_repair";

StoredAttempt attempt_of(const std::vector<std::string>& row)
{
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
    a.id = row[16];
    a.diagnosis_note = row[17];
    a.closest = row[18];
    a.golden = row[19] != "0";
    a.fixture_cycles = std::stol(row[20]);
    a.after_repair = row[21];
    return a;
}

} // namespace

std::string conditions_of(const StoreFilter& f, const std::string& prefix, std::vector<std::string>* params)
{
    std::string conditions;
    auto condition = [&](const std::string& value, const std::string& test) {
        if (value.empty())
            return;
        params->push_back(value);
        conditions += (conditions.empty() ? "" : " AND ") + prefix + test + " CAST($" + std::to_string(params->size()) +
                      " AS TEXT)";
    };
    // Every start of a day sorts between "YYYY-MM-DD" and "YYYY-MM-DDU".
    condition(f.since, "started >=");
    condition(f.until.empty() ? "" : f.until + "U", "started <");
    condition(f.station, "station =");
    condition(f.label, "label =");
    return conditions;
}

Result SqlResultStore::write(const std::function<Result()>& statements)
{
    // A file deleted or replaced under the station would take the records
    // into nothing: a new one is made at its name, and the station told.
    if (db_->replaced()) {
        if (const Result reopened = db_->reconnect(); !reopened)
            return reopened;
        if (const Result upgraded = upgrade(id_type_); !upgraded)
            return upgraded;
        notice_ = db_->name() + " was deleted or replaced under the station: a new one takes the records";
    }
    auto once = [&] {
        if (const Result begun = db_->begin_exclusive(); !begun)
            return begun;
        return finish(statements());
    };
    const Result written = once();
    if (written || !db_->reconnect())
        return written;
    return once();
}

Result SqlResultStore::add(const StoredAttempt& attempt)
{
    return write([&] { return add_in_transaction(attempt); });
}

Result SqlResultStore::add_in_transaction(const StoredAttempt& given)
{
    StoredAttempt a = given;
    for (std::string* text : {&a.station, &a.run, &a.label, &a.port, &a.problem, &a.fixture, &a.operator_name,
                              &a.diagnosis_note, &a.closest, &a.after_repair})
        *text = record_text(*text);
    SqlRows id;
    // An attempt written before (the database took it, then the station
    // lost the answer) is not written again.
    const Result added = db_->run(
        "INSERT INTO attempts (station, run, label, port, retest, final, intermittent, started, ended, verdict,"
        " problem, passes, hung_in, fixture, operator, attempt_key, diagnosis_note, closest, golden, fixture_cycles,"
        " after_repair)"
        " VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15, NULLIF($16, ''), $17, $18, $19,"
        " $20, $21)"
        " ON CONFLICT (attempt_key) DO NOTHING RETURNING id",
        {a.station, a.run, a.label, a.port, std::to_string(a.retest), a.final_attempt ? "1" : "0",
         a.intermittent ? "1" : "0", a.start, a.end, a.verdict, a.problem, std::to_string(a.passes), a.hung_in,
         a.fixture, a.operator_name, record_text(a.id), a.diagnosis_note, a.closest, a.golden ? "1" : "0",
         std::to_string(a.fixture_cycles), a.after_repair},
        &id);
    if (!added || id.empty())
        return added;
    for (int t = 0; t < BOARD_TEST_COUNT; ++t)
        if (a.counts[t][0] + a.counts[t][1] > 0)
            if (const Result r = db_->run("INSERT INTO test_counts (attempt, test, passed, failed) VALUES ($1, $2, $3, $4)",
                                          {id[0][0], TEST_NAMES[t], std::to_string(a.counts[t][0]),
                                           std::to_string(a.counts[t][1])},
                                          nullptr);
                !r)
                return r;
    for (size_t i = 0; i < a.diagnosis.size(); ++i)
        if (const Result r = db_->run("INSERT INTO diagnoses (attempt, fault, probe_points) VALUES ($1, $2, $3)",
                                      {id[0][0], a.diagnosis[i],
                                       record_text(i < a.probe_points.size() ? a.probe_points[i] : "")},
                                      nullptr);
            !r)
            return r;
    return Result::ok();
}

Result SqlResultStore::add_event(const StationEvent& e)
{
    return write([&] {
        return db_->run("INSERT INTO station_events (event_key, station, at, kind, fixture, operator, detail) VALUES"
                        " (NULLIF($1, ''), $2, $3, $4, $5, $6, $7) ON CONFLICT (event_key) DO NOTHING",
                        {record_text(e.id), record_text(e.station), e.at, e.kind, record_text(e.fixture),
                         record_text(e.operator_name), record_text(e.detail)},
                        nullptr);
    });
}

Result SqlResultStore::load(const StoreFilter& f, std::vector<StoredAttempt>* attempts)
{
    std::vector<std::string> params;
    std::string conditions = conditions_of(f, "", &params);
    // A board is a serial number of a day: another attempt of it that day
    // (a known-good board's never counts) makes it retested.
    if (f.retested_only)
        conditions += std::string(conditions.empty() ? "" : " AND ") +
                      "golden = 0 AND EXISTS (SELECT 1 FROM attempts y WHERE y.label = attempts.label"
                      " AND substr(y.started, 1, 10) = substr(attempts.started, 1, 10) AND y.id <> attempts.id"
                      " AND y.golden = 0)";
    const std::string where = conditions.empty() ? "" : " WHERE " + conditions;
    SqlRows rows, counts, faults;
    if (const Result r = db_->run(std::string("SELECT ") + ATTEMPT_COLUMNS + " FROM attempts" + where +
                                      " ORDER BY started, id",
                                  params, &rows);
        !r)
        return r;
    const std::string of_these = " WHERE attempt IN (SELECT id FROM attempts" + where + ")";
    if (const Result r = db_->run("SELECT attempt, test, passed, failed FROM test_counts" + of_these, params, &counts); !r)
        return r;
    if (const Result r = db_->run("SELECT attempt, fault, probe_points FROM diagnoses" + of_these + " ORDER BY fault",
                                  params, &faults);
        !r)
        return r;
    std::map<std::string, size_t> by_id;
    for (const auto& row : rows) {
        by_id[row[0]] = attempts->size();
        attempts->push_back(attempt_of(row));
    }
    for (const auto& row : counts)
        for (int t = 0; t < BOARD_TEST_COUNT; ++t)
            if (by_id.count(row[0]) && row[1] == TEST_NAMES[t]) {
                (*attempts)[by_id[row[0]]].counts[t][0] = std::stol(row[2]);
                (*attempts)[by_id[row[0]]].counts[t][1] = std::stol(row[3]);
            }
    for (const auto& row : faults)
        if (by_id.count(row[0])) {
            (*attempts)[by_id[row[0]]].diagnosis.push_back(row[1]);
            (*attempts)[by_id[row[0]]].probe_points.push_back(row[2]);
        }
    return Result::ok();
}

Result SqlResultStore::load_events(const StoreFilter& f, std::vector<StationEvent>* events)
{
    std::vector<std::string> params;
    StoreFilter days = f;
    days.label.clear();
    std::string conditions = conditions_of(days, "", &params);
    // An event's time stands where an attempt's start does.
    for (size_t at; (at = conditions.find("started")) != std::string::npos;)
        conditions.replace(at, 7, "at");
    SqlRows rows;
    if (const Result r = db_->run("SELECT coalesce(event_key, ''), station, at, kind, fixture, operator, detail FROM"
                                  " station_events" + (conditions.empty() ? "" : " WHERE " + conditions) +
                                      " ORDER BY at, id",
                                  params, &rows);
        !r)
        return r;
    for (const auto& row : rows)
        events->push_back({row[0], row[1], row[2], row[3], row[4], row[5], row[6]});
    return Result::ok();
}

Result SqlResultStore::stored_ids(const StoreFilter& f, std::set<std::string>* ids)
{
    std::vector<std::string> params;
    const std::string conditions = conditions_of(f, "", &params);
    SqlRows rows;
    if (const Result r = db_->run("SELECT attempt_key FROM attempts WHERE attempt_key IS NOT NULL" +
                                      (conditions.empty() ? "" : " AND " + conditions),
                                  params, &rows);
        !r)
        return r;
    for (const auto& row : rows)
        ids->insert(row[0]);
    return Result::ok();
}

std::string SqlResultStore::take_notice()
{
    return std::exchange(notice_, std::string());
}

Result count_day(ResultStore& store, const StoreFilter& filter, YieldTally* tally)
{
    std::vector<YieldRow> line;
    if (const Result r = store.count_boards(filter, BoardGroup::LINE, &line); !r)
        return r;
    tally->total = line.empty() ? YieldRow{"all"} : line.front();
    return store.count_boards(filter, BoardGroup::STATION, &tally->by_station);
}

Result count_all(ResultStore& store, const StoreFilter& filter, YieldTally* tally)
{
    if (const Result r = count_day(store, filter, tally); !r)
        return r;
    for (const auto& [group, rows] : {std::make_pair(BoardGroup::DAY, &tally->by_day),
                                      std::make_pair(BoardGroup::FIXTURE, &tally->by_fixture),
                                      std::make_pair(BoardGroup::OPERATOR, &tally->by_operator)})
        if (const Result r = store.count_boards(filter, group, rows); !r)
            return r;
    if (const Result r = store.count_tests(filter, &tally->by_test); !r)
        return r;
    return store.count_faults(filter, &tally->faults);
}

Result open_result_store(const std::string& where, std::unique_ptr<ResultStore>* store)
{
    if (const Result named = check_database_name(where, "database"); !named)
        return named;
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
