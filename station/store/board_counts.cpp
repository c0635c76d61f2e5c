// The yield as the database counts it: a board is a serial number of a
// day, so that a board retested by a re-scan or a button is one board, and
// memory does not grow with the records.
#include "station/store/sql_result_store.h"

#include <algorithm>

namespace korvastation {

using korvasim::Result;

namespace {

std::string group_expression(BoardGroup group)
{
    switch (group) {
    case BoardGroup::LINE: return "'all'";
    case BoardGroup::DAY: return "substr(x.started, 1, 10)";
    case BoardGroup::STATION: return "x.station";
    // A fixture is its station's (names repeat across stations); a batch's board sits on a port.
    case BoardGroup::FIXTURE: return "x.station || ' ' || CASE WHEN x.fixture = '' THEN x.port ELSE x.fixture END";
    case BoardGroup::OPERATOR: return "CASE WHEN x.operator = '' THEN '(none)' ELSE x.operator END";
    }
    return "''";
}

// What an attempt came to, for telling whether a board's attempts agree:
// its verdict, where it hung, the tests it failed.
std::string outcome_expression()
{
    std::string outcome = "x.verdict || ' ' || x.hung_in";
    for (const char* test : TEST_NAMES)
        outcome += std::string(" || CASE WHEN EXISTS (SELECT 1 FROM test_counts t WHERE t.attempt = x.id AND t.test = '") +
                   test + "' AND t.failed > 0) THEN ' " + test + "' ELSE '' END";
    return outcome;
}

// The filter's attempts (a known-good board's never), ranked within their
// board, and the boards: one row per serial number, day and group, with
// its first and last attempts.
std::string boards_of(const StoreFilter& filter, BoardGroup group, std::vector<std::string>* params)
{
    const std::string conditions = conditions_of(filter, "x.", params);
    return "WITH a AS (SELECT x.id AS id, x.label AS label, substr(x.started, 1, 10) AS day, x.started AS started,"
           " x.verdict AS verdict, x.hung_in AS hung_in, " + group_expression(group) + " AS grp, " +
           outcome_expression() + " AS outcome FROM attempts x WHERE x.golden = 0" +
           (conditions.empty() ? "" : " AND " + conditions) + "),"
           " ranked AS (SELECT a.*, row_number() OVER (PARTITION BY day, label, grp ORDER BY started, id) AS from_first,"
           " row_number() OVER (PARTITION BY day, label, grp ORDER BY started DESC, id DESC) AS from_last FROM a),"
           " boards AS (SELECT day, label, grp,"
           " max(CASE WHEN from_first = 1 THEN id END) AS first_id,"
           " max(CASE WHEN from_last = 1 THEN id END) AS last_id,"
           " max(CASE WHEN from_first = 1 AND verdict = 'passed' THEN 1 ELSE 0 END) AS first_passed,"
           " max(CASE WHEN from_last = 1 AND verdict = 'passed' THEN 1 ELSE 0 END) AS final_passed,"
           " CASE WHEN count(*) > 1 THEN 1 ELSE 0 END AS retested,"
           // A station's trouble (not tested, lost, stopped) says nothing of the board.
           " CASE WHEN count(DISTINCT CASE WHEN verdict IN ('passed', 'failed', 'hung') THEN outcome END) > 1"
           " THEN 1 ELSE 0 END AS intermittent,"
           " max(CASE WHEN verdict = 'hung' THEN 1 ELSE 0 END) AS hung,"
           " max(CASE WHEN from_first = 1 THEN hung_in END) AS first_hung_in,"
           " max(CASE WHEN from_last = 1 THEN hung_in END) AS last_hung_in"
           " FROM ranked GROUP BY day, label, grp)";
}

YieldRow row_of(const std::vector<std::string>& row)
{
    return {row[0],
            std::stol(row[1]),
            std::stol(row[2]),
            std::stol(row[3]),
            std::stol(row[4]),
            std::stol(row[5]),
            std::stol(row[6])};
}

} // namespace

Result SqlResultStore::count_boards(const StoreFilter& filter, BoardGroup group, std::vector<YieldRow>* rows)
{
    std::vector<std::string> params;
    SqlRows found;
    if (const Result r = db_->run(boards_of(filter, group, &params) +
                                      " SELECT grp, count(*), sum(first_passed), sum(final_passed), sum(retested),"
                                      " sum(intermittent), sum(hung) FROM boards GROUP BY grp",
                                  params, &found);
        !r)
        return r;
    rows->clear();
    for (const auto& row : found)
        rows->push_back(row_of(row));
    // Sorted here, byte by byte: a server's collation would order names by its locale.
    std::sort(rows->begin(), rows->end(), [](const YieldRow& a, const YieldRow& b) { return a.key < b.key; });
    if (group == BoardGroup::LINE && rows->empty())
        rows->push_back({"all"});
    return Result::ok();
}

Result SqlResultStore::count_tests(const StoreFilter& filter, std::vector<YieldRow>* rows)
{
    rows->clear();
    for (const char* test : TEST_NAMES) {
        std::vector<std::string> params;
        const std::string boards = boards_of(filter, BoardGroup::LINE, &params);
        params.push_back(test);
        const std::string t = "$" + std::to_string(params.size());
        SqlRows found;
        // A board ran a test when its first attempt counted it or hung in it.
        if (const Result r = db_->run(
                boards + " SELECT " + t + ", count(*),"
                " sum(CASE WHEN coalesce(fc.failed, 0) = 0 AND b.first_hung_in <> " + t + " THEN 1 ELSE 0 END),"
                " sum(CASE WHEN lc.failed = 0 AND b.last_hung_in <> " + t + " THEN 1 ELSE 0 END),"
                " sum(retested), sum(intermittent), sum(hung) FROM boards b"
                " LEFT JOIN test_counts fc ON fc.attempt = b.first_id AND fc.test = " + t +
                " LEFT JOIN test_counts lc ON lc.attempt = b.last_id AND lc.test = " + t +
                " WHERE fc.attempt IS NOT NULL OR b.first_hung_in = " + t,
                params, &found);
            !r)
            return r;
        if (!found.empty() && std::stol(found[0][1]) > 0) {
            found[0][0] = test;
            rows->push_back(row_of(found[0]));
        }
    }
    return Result::ok();
}

// Each board counts once per fault: an attempt's diagnosis is one fault
// (its candidates in one order, whichever order they were found in), a
// hang in a test is one, and so is a failure that no single fault explains.
Result SqlResultStore::count_faults(const StoreFilter& filter, std::vector<FaultRow>* faults)
{
    std::vector<std::string> params;
    std::string tests;
    for (const char* test : TEST_NAMES)
        tests += std::string(tests.empty() ? "'" : ", '") + test + "'";
    // SQLite numbers the parameters in the order they first appear.
    const std::string boards = boards_of(filter, BoardGroup::LINE, &params);
    params.push_back(UNEXPLAINED_FAULT);
    const std::string unexplained = "CAST($" + std::to_string(params.size()) + " AS TEXT)";
    SqlRows rows;
    if (const Result r = db_->run(
            boards +
                ", board_attempts AS (SELECT r.id AS id, r.verdict AS verdict, r.hung_in AS hung_in, b.first_id AS board"
                " FROM ranked r JOIN boards b ON b.day = r.day AND b.label = r.label AND b.grp = r.grp),"
                " diagnosed AS (SELECT attempt, " + db_->text_aggregate() + "(fault, ' or ') AS fault"
                " FROM (SELECT attempt, fault FROM diagnoses ORDER BY attempt, fault) d GROUP BY attempt),"
                " board_faults AS (SELECT ba.board AS board, d.fault AS fault FROM board_attempts ba"
                " JOIN diagnosed d ON d.attempt = ba.id"
                " UNION SELECT ba.board, 'hung in ' || ba.hung_in FROM board_attempts ba"
                " WHERE ba.verdict = 'hung' AND ba.hung_in IN (" + tests + ")"
                " UNION SELECT ba.board, " + unexplained + " FROM board_attempts ba"
                " LEFT JOIN diagnosed d ON d.attempt = ba.id WHERE ba.verdict = 'failed' AND d.attempt IS NULL)"
                " SELECT fault, count(*) FROM board_faults GROUP BY fault",
            params, &rows);
        !r)
        return r;
    faults->clear();
    for (const auto& row : rows)
        faults->push_back({row[0], std::stol(row[1]), ""});
    for (FaultRow& f : *faults)
        if (f.fault == UNEXPLAINED_FAULT)
            if (const Result r = closest_of_unexplained(filter, &f.closest); !r)
                return r;
    std::sort(faults->begin(), faults->end(), [](const FaultRow& a, const FaultRow& b) {
        return a.boards != b.boards ? a.boards > b.boards : a.fault < b.fault;
    });
    return Result::ok();
}

// The closest candidates of the failures that no single fault explains,
// most often first: where a technician starts looking.
Result SqlResultStore::closest_of_unexplained(const StoreFilter& filter, std::string* closest)
{
    std::vector<std::string> params;
    const std::string conditions = conditions_of(filter, "x.", &params);
    SqlRows rows;
    if (const Result r = db_->run(
            "SELECT x.closest, count(*) FROM attempts x WHERE x.golden = 0 AND x.verdict = 'failed' AND x.closest <> ''"
            " AND NOT EXISTS (SELECT 1 FROM diagnoses d WHERE d.attempt = x.id)" +
                (conditions.empty() ? "" : " AND " + conditions) + " GROUP BY x.closest",
            params, &rows);
        !r)
        return r;
    std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
        return std::stol(a[1]) != std::stol(b[1]) ? std::stol(a[1]) > std::stol(b[1]) : a[0] < b[0];
    });
    closest->clear();
    for (size_t i = 0; i < rows.size() && i < 3; ++i)
        *closest += (i ? "; " : "") + rows[i][0];
    return Result::ok();
}

} // namespace korvastation
