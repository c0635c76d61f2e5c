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

// One station's boards of a day (a board's day is its first attempt's).
struct DayYield {
    std::string station;
    long boards = 0, first_pass = 0, final_pass = 0;
};

// Which attempts a report reads; empty fields take everything.
struct StoreFilter {
    std::string since, until;  // dates, YYYY-MM-DD, of the attempt's start, both included
    std::string station;
    std::string label;
};

class ResultStore {
public:
    virtual ~ResultStore() = default;
    virtual korvasim::Result add(const StoredAttempt& attempt) = 0;
    virtual korvasim::Result load(const StoreFilter& filter, std::vector<StoredAttempt>* attempts) = 0;
    // The day's yield of every station, day as YYYY-MM-DD.
    virtual korvasim::Result day_yield(const std::string& day, std::vector<DayYield>* stations) = 0;
};

// Whether where names a PostgreSQL server ("postgresql://..." or
// "postgres://...") rather than a SQLite file.
bool is_server_uri(const std::string& where);

// A database name that is neither a server's URI nor a file's path: a
// keyword connection string ("host=db1 dbname=line") would otherwise become
// a SQLite file of that name.
korvasim::Result check_database_name(const std::string& where);

// A server's URI as messages show it: every password ("user:secret@",
// "password=secret") as ***.
std::string shown_database(const std::string& where);

// A server by its URI (is_server_uri), anything else a SQLite file. Fails
// with one line that names the database.
korvasim::Result open_result_store(const std::string& where, std::unique_ptr<ResultStore>* store);

// The schema version this program writes.
const int RESULT_SCHEMA_VERSION = 2;

} // namespace korvastation

#endif
