// The repairs recorded at repair benches: each written once by its
// identity, and read back by day, bench and board.
#include <algorithm>
#include <map>

#include "station/run/record_text.h"
#include "station/store/sql_result_store.h"

namespace korvastation {

using korvasim::Result;

const char REPAIR_SCRAPPED[] = "scrapped";
const char REPAIR_NO_FAULT_FOUND[] = "no fault found";

Result SqlResultStore::add_repair(const StoredRepair& r)
{
    return write([&] {
        return db_->run("INSERT INTO repairs (repair_key, station, at, label, action, components, note, technician,"
                        " failed_attempt, diagnosis) VALUES (NULLIF($1, ''), $2, $3, $4, $5, $6, $7, $8, $9, $10)"
                        " ON CONFLICT (repair_key) DO NOTHING",
                        {record_text(r.id), record_text(r.station), r.at, record_text(r.label), record_text(r.action),
                         record_text(r.components), record_text(r.note), record_text(r.technician),
                         record_text(r.failed_attempt), record_text(r.diagnosis)},
                        nullptr);
    });
}

Result SqlResultStore::load_repairs(const StoreFilter& f, std::vector<StoredRepair>* repairs)
{
    std::vector<std::string> params;
    std::string conditions = conditions_of(f, "", &params);
    // A repair's time stands where an attempt's start does.
    for (size_t at; (at = conditions.find("started")) != std::string::npos;)
        conditions.replace(at, 7, "at");
    SqlRows rows;
    if (const Result r = db_->run("SELECT coalesce(repair_key, ''), station, at, label, action, components, note,"
                                  " technician, failed_attempt, diagnosis FROM repairs" +
                                      (conditions.empty() ? "" : " WHERE " + conditions) + " ORDER BY at, id",
                                  params, &rows);
        !r)
        return r;
    for (const auto& row : rows)
        repairs->push_back({row[0], row[1], row[2], row[3], row[4], row[5], row[6], row[7], row[8], row[9]});
    return Result::ok();
}

std::string failure_words(const std::string& verdict, const std::string& hung_in,
                          const std::vector<std::string>& failed_tests)
{
    if (verdict == "hung")
        return hung_in.empty() ? "hung" : "hung in " + hung_in;
    std::string words = "failed";
    for (size_t i = 0; i < failed_tests.size(); ++i)
        words += (i == 0 ? " " : " and ") + failed_tests[i];
    return words;
}

std::string failure_words_of(const StoredAttempt& a)
{
    std::vector<std::string> failed_tests;
    for (int t = 0; t < BOARD_TEST_COUNT; ++t)
        if (a.counts[t][1] > 0)
            failed_tests.push_back(TEST_NAMES[t]);
    std::sort(failed_tests.begin(), failed_tests.end());
    return failure_words(a.verdict, a.hung_in, failed_tests);
}

bool verdict_on_board(const std::string& verdict)
{
    return verdict == "passed" || verdict == "failed" || verdict == "hung";
}

std::string diagnosis_words(const StoredAttempt& a)
{
    std::string text;
    for (const std::string& fault : a.diagnosis)
        text += (text.empty() ? "" : " or ") + fault;
    return text;
}

std::string repair_words(const StoredRepair& r)
{
    return r.action + (r.components.empty() ? "" : " " + r.components) + " by " + r.technician +
           (r.note.empty() ? "" : " (" + r.note + ")");
}

namespace {

// Each board's last final attempt with a verdict on the board itself (a
// lost or untested attempt says nothing of it), when that failed or hung.
const char LAST_FAILURES[] =
    " FROM attempts a WHERE a.final = 1 AND a.golden = 0 AND a.verdict IN ('failed', 'hung') AND NOT EXISTS"
    " (SELECT 1 FROM attempts b WHERE b.label = a.label AND b.final = 1 AND b.golden = 0"
    " AND b.verdict IN ('passed', 'failed', 'hung') AND b.started > a.started)";

} // namespace

Result SqlResultStore::load_routes(std::vector<BoardRoute>* routes)
{
    SqlRows failures, failed_tests, faults, repairs;
    const std::string ids = std::string("(SELECT a.id") + LAST_FAILURES + ")";
    if (const Result r = db_->run(std::string("SELECT a.id, a.label, coalesce(a.attempt_key, ''), a.started, a.verdict,"
                                              " a.hung_in") + LAST_FAILURES + " ORDER BY a.id",
                                  {}, &failures);
        !r)
        return r;
    if (const Result r = db_->run("SELECT attempt, test FROM test_counts WHERE failed > 0 AND attempt IN " + ids +
                                      " ORDER BY attempt, test",
                                  {}, &failed_tests);
        !r)
        return r;
    if (const Result r = db_->run("SELECT attempt, fault FROM diagnoses WHERE attempt IN " + ids + " ORDER BY fault",
                                  {}, &faults);
        !r)
        return r;
    if (const Result r = db_->run("SELECT label, coalesce(repair_key, ''), at, action, note FROM repairs"
                                  " WHERE action = $1 OR label IN (SELECT a.label" + std::string(LAST_FAILURES) +
                                      ") ORDER BY at, id",
                                  {REPAIR_SCRAPPED}, &repairs);
        !r)
        return r;
    std::map<std::string, std::vector<std::string>> tests_of;
    for (const auto& row : failed_tests)
        tests_of[row[0]].push_back(row[1]);
    std::map<std::string, BoardRoute> by_label;
    std::map<std::string, std::string> label_of;
    for (const auto& row : failures) {
        BoardRoute& route = by_label[row[1]];
        route.label = row[1];
        route.failed_attempt = row[2];
        route.failed_at = row[3];
        route.failed_what = failure_words(row[4], row[5], tests_of[row[0]]);
        label_of[row[0]] = row[1];
    }
    for (const auto& row : faults) {
        BoardRoute& route = by_label[label_of[row[0]]];
        route.diagnosis += (route.diagnosis.empty() ? "" : " or ") + row[1];
    }
    for (const auto& row : repairs) {
        BoardRoute& route = by_label[row[0]];
        route.label = row[0];
        if (!route.failed_at.empty() && row[2] >= route.failed_at) {
            route.repaired_at = row[2];
            route.repair = row[1];
        }
        if (row[3] == REPAIR_SCRAPPED && route.scrapped_at.empty()) {
            route.scrapped_at = row[2];
            route.scrapped_why = row[4];
        }
    }
    for (auto& [label, route] : by_label)
        routes->push_back(std::move(route));
    return Result::ok();
}

} // namespace korvastation
