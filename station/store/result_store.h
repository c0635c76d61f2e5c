// The station's results in a database, beside its files: SQLite by
// default (one file), or a PostgreSQL server that several stations share.
// One row per attempt, with its tests' counts and its diagnosis, written in
// one transaction each and at most once (by the attempt's identity); what
// happened at a station (a fixture checked, an operator's change) as
// events. The schema carries its version and is brought up to date when a
// store is opened.
#ifndef KORVASTATION_RESULT_STORE_H
#define KORVASTATION_RESULT_STORE_H

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "host/report_lines.h"
#include "sim/support/result.h"

namespace korvastation {

// One attempt as stored and read back.
struct StoredAttempt {
    std::string id;          // the attempt's identity: a second add of it changes nothing
    std::string station;     // the station's name
    std::string run;         // the station run it was made in
    std::string label, port;
    std::string fixture;        // served: the fixture; else empty
    std::string operator_name;  // served: who put the board in; else empty
    int retest = 0;
    bool final_attempt = true;
    bool intermittent = false;
    bool golden = false;     // a fixture's known-good board: never counted in the yield
    long fixture_cycles = 0;  // served: its fixture's boards since its maintenance
    std::string start, end;  // ISO 8601
    std::string verdict;     // "passed", "failed", "hung", ...
    std::string problem;     // why it was hung, lost or not tested; a power problem
    std::string hung_in;     // with "hung": the test, "wake-up" or "start-up"
    long passes = 0;
    long counts[BOARD_TEST_COUNT][2] = {};  // per test: passed, failed
    std::vector<std::string> diagnosis;     // the candidate faults' names
    std::vector<std::string> probe_points;  // per candidate: where to probe its lines ("" for none)
    std::string diagnosis_note;             // a failure without candidates: why
    std::string closest;                    // ... and the faults that came closest
    std::string after_repair;               // the identity of the repair it came after; empty if none
};

// A repair recorded at a repair bench: what was done to a failed board,
// to which components, by whom, answering which failed attempt.
struct StoredRepair {
    std::string id;              // its identity: a second add of it changes nothing
    std::string station;         // the repair bench's name
    std::string at;              // ISO 8601, local time with its offset
    std::string label;           // the board's serial number
    std::string action;          // one of the configured actions: "reflowed", ..., "scrapped"
    std::string components;      // the references touched, ", " between; may be empty
    std::string note;
    std::string technician;
    std::string failed_attempt;  // the identity of the failed attempt it answers
    std::string diagnosis;       // that attempt's diagnosis, as the report groups repairs
};

// The repair actions with a meaning of their own: a board scrapped is
// refused from then on; "no fault found" is counted apart.
extern const char REPAIR_SCRAPPED[];
extern const char REPAIR_NO_FAULT_FOUND[];

// A board's standing on the line's route, as the route check reads it: its
// last final attempt with a verdict on the board when that failed, the
// latest repair since, and its scrapping.
struct BoardRoute {
    std::string label;
    std::string failed_at;       // that failed attempt's start; empty when it passed
    std::string failed_attempt;  // its identity
    std::string failed_what;     // "failed SRAM", "hung in FLASH"
    std::string diagnosis;       // its candidates, " or " between
    std::string repaired_at, repair;  // the latest repair since that failure: when, its identity
    std::string scrapped_at, scrapped_why;
};

// "failed SDRAM and SRAM", "hung in FLASH": a failed attempt as the route
// check names it; failed_tests in the order of their names.
std::string failure_words(const std::string& verdict, const std::string& hung_in,
                          const std::vector<std::string>& failed_tests);
std::string failure_words_of(const StoredAttempt& attempt);
// Whether an attempt's verdict says anything of the board itself: a lost
// or untested attempt does not, and leaves its last failure standing.
bool verdict_on_board(const std::string& verdict);
// An attempt's candidates as one text, " or " between them.
std::string diagnosis_words(const StoredAttempt& attempt);
// A repair as one line: "reflowed U7, R43 by tess (note)".
std::string repair_words(const StoredRepair& repair);

// What happened at a station besides its attempts.
struct StationEvent {
    std::string id;  // its identity: a second add of it changes nothing
    std::string station, at, kind, fixture, operator_name, detail;
};

// Boards counted by the database, so that memory does not grow with it. A
// board is a serial number of a day: its first attempt that day is its
// first pass, every later one a retest of the same board, its last one
// its final verdict. Grouped by station, fixture or operator, a board is
// one of the group's on that day.
struct YieldRow {
    std::string key;  // the day, station, fixture, operator or test
    long boards = 0, first_pass = 0, final_pass = 0, retested = 0, intermittent = 0, hung = 0;
};

struct FaultRow {
    std::string fault;    // an ambiguous diagnosis names its candidates with " or "
    long boards = 0;      // boards with an attempt whose diagnosis names it
    std::string closest;  // failures no single fault explains: their closest candidates, most often first
};

// The fault row of failures that no single fault explains.
extern const char UNEXPLAINED_FAULT[];

enum class BoardGroup { LINE, DAY, STATION, FIXTURE, OPERATOR };

struct YieldTally {
    YieldRow total;
    std::vector<YieldRow> by_day, by_station, by_fixture, by_operator, by_test;
    std::vector<FaultRow> faults;  // most boards first
};

// Which boards (by their attempts' start) or attempts are read; empty
// fields take everything.
struct StoreFilter {
    std::string since, until;  // dates, YYYY-MM-DD, of the attempt's start, both included
    std::string station;
    std::string label;
    bool retested_only = false;  // load: only the attempts of boards tested more than once that day
};

class ResultStore {
public:
    virtual ~ResultStore() = default;
    virtual korvasim::Result add(const StoredAttempt& attempt) = 0;
    virtual korvasim::Result add_event(const StationEvent& event) = 0;
    // The attempts, by their start.
    virtual korvasim::Result load(const StoreFilter& filter, std::vector<StoredAttempt>* attempts) = 0;
    virtual korvasim::Result load_events(const StoreFilter& filter, std::vector<StationEvent>* events) = 0;
    virtual korvasim::Result add_repair(const StoredRepair& repair) = 0;
    // The repairs, by their time: of the filter's days and board (its
    // station filter is the repair bench's).
    virtual korvasim::Result load_repairs(const StoreFilter& filter, std::vector<StoredRepair>* repairs) = 0;
    // Every board whose last final attempt failed or hung, and every board
    // scrapped: the boards the route check may stop, by serial number.
    virtual korvasim::Result load_routes(std::vector<BoardRoute>* routes) = 0;
    // The identities of the attempts the filter takes.
    virtual korvasim::Result stored_ids(const StoreFilter& filter, std::set<std::string>* ids) = 0;
    // What happened to the database that the station should tell (a file
    // deleted under it and made anew), once; empty when nothing did.
    virtual std::string take_notice() = 0;
    // The boards' yield, one row per group (one row keyed "all" for LINE).
    virtual korvasim::Result count_boards(const StoreFilter& filter, BoardGroup group, std::vector<YieldRow>* rows) = 0;
    // The line's boards' yield by test: a board that hung in a test failed it.
    virtual korvasim::Result count_tests(const StoreFilter& filter, std::vector<YieldRow>* rows) = 0;
    // The line's boards' faults, most boards first.
    virtual korvasim::Result count_faults(const StoreFilter& filter, std::vector<FaultRow>* faults) = 0;
};

// The line's boards in all and by station: what the pages show.
korvasim::Result count_day(ResultStore& store, const StoreFilter& filter, YieldTally* tally);
// Every group, the tests and the faults: what the report shows.
korvasim::Result count_all(ResultStore& store, const StoreFilter& filter, YieldTally* tally);

// A server by its URI (is_server_uri), anything else a SQLite file. Fails
// with one line that names the database.
korvasim::Result open_result_store(const std::string& where, std::unique_ptr<ResultStore>* store);

// The schema version this program writes.
const int RESULT_SCHEMA_VERSION = 7;

} // namespace korvastation

#endif
