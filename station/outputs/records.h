// The station's records: one JSON object per board (a line each), and a
// JUnit XML report with a test suite per board and a test case per test
// with its pass and failure counts, as CI dashboards read them.
#ifndef KORVASTATION_RECORDS_H
#define KORVASTATION_RECORDS_H

#include <string>
#include <vector>

#include "station/run/attempt_record.h"
#include "station/store/result_store.h"
#include "sim/support/result.h"
#include "station/run/record_text.h"

namespace korvastation {

struct RecordContext {
    std::string version;       // of dudedoved, the same package's
    std::string image_sha256;  // of the boot image it embeds
    std::string station, run;  // who made the record; empty: not told
};

std::string json_record(const AttemptRecord& record, const RecordContext& context);
// One JSON object per board, a line each.
std::string json_records(const std::vector<AttemptRecord>& records, const RecordContext& context);
std::string junit_report(const std::vector<AttemptRecord>& records);

// An attempt as the database keeps it.
StoredAttempt stored_attempt(const AttemptRecord& record, const std::string& station, const std::string& run);

// A JSON record (json_record's, with its station) read back as the
// database keeps it; a reason when the line is no such record.
korvasim::Result stored_attempt_of(const std::string& json_line, StoredAttempt* attempt);

// What happened at a station (a fixture checked, an operator's change) as
// a JSON line of the day folder's events, and read back.
std::string json_event(const StationEvent& event);
korvasim::Result station_event_of(const std::string& json_line, StationEvent* event);

// A repair recorded at a repair bench as a JSON line of the day folder's
// repairs, and read back.
std::string json_repair(const StoredRepair& repair);
korvasim::Result stored_repair_of(const std::string& json_line, StoredRepair* repair);

} // namespace korvastation

#endif
