// The station's results in a database, beside its files: SQLite by
// default (one file), or a PostgreSQL server that several stations share.
// One row per attempt, with its tests' counts and its diagnosis, written in
// one transaction each; the schema carries its version and is brought up to
// date when a store is opened.
#ifndef KORVASTATION_RESULT_STORE_H
#define KORVASTATION_RESULT_STORE_H

#include <memory>
#include <string>
#include <vector>

#include "host/report_lines.h"
#include "sim/support/result.h"

namespace korvastation {

// One attempt as stored and read back.
struct StoredAttempt {
    std::string station;     // the station's name
    std::string run;         // one station run: the attempts of a board share it
    std::string label, port;
    std::string fixture;        // served: the fixture; else empty
    std::string operator_name;  // served: who put the board in; else empty
    int retest = 0;
    bool final_attempt = true;
    bool intermittent = false;
    std::string start, end;  // ISO 8601, UTC
    std::string verdict;     // "passed", "failed", "hung", ...
    std::string problem;     // why it was hung, lost or not tested; a power problem
    std::string hung_in;     // with "hung": the test, "wake-up" or "start-up"
    long passes = 0;
    long counts[BOARD_TEST_COUNT][2] = {};  // per test: passed, failed
    std::vector<std::string> diagnosis;     // the candidate faults' names
};

// Boards counted by the database, so that memory does not grow with it. A
// board is one station run's attempts of one label; its day and station are
// its first attempt's, its final verdict its last attempt's. A run cut short
// before a board's last attempt leaves that board out.
struct YieldRow {
    std::string key;  // the day, station or test
    long boards = 0, first_pass = 0, final_pass = 0, retested = 0, intermittent = 0;
};

struct FaultRow {
    std::string fault;  // an ambiguous diagnosis names its candidates with " or "
    long boards = 0;    // boards with an attempt whose diagnosis names it
};

struct YieldTally {
    YieldRow total;
    std::vector<YieldRow> by_day, by_station, by_test;
    std::vector<FaultRow> faults;  // most boards first
};

// Which boards (by their first attempt) or attempts are read; empty fields
// take everything.
struct StoreFilter {
    std::string since, until;  // dates, YYYY-MM-DD, of the attempt's start, both included
    std::string station;
    std::string label;
    std::string leave_out_run;  // a run whose boards the caller counts itself
};

class ResultStore {
public:
    virtual ~ResultStore() = default;
    virtual korvasim::Result add(const StoredAttempt& attempt) = 0;
    virtual korvasim::Result load(const StoreFilter& filter, std::vector<StoredAttempt>* attempts) = 0;
    // The boards' yield: in all, by day and by station.
    virtual korvasim::Result count_boards(const StoreFilter& filter, YieldTally* tally) = 0;
    // The same boards' yield by test (a board that hung in a test failed it)
    // and their faults.
    virtual korvasim::Result count_tests_and_faults(const StoreFilter& filter, YieldTally* tally) = 0;
};

// A server by its URI (is_server_uri), anything else a SQLite file. Fails
// with one line that names the database.
korvasim::Result open_result_store(const std::string& where, std::unique_ptr<ResultStore>* store);

// The schema version this program writes.
const int RESULT_SCHEMA_VERSION = 4;

} // namespace korvastation

#endif
