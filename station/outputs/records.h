// The station's records: one JSON object per board (a line each), and a
// JUnit XML report with a test suite per board and a test case per test
// with its pass and failure counts, as CI dashboards read them.
#ifndef KORVASTATION_RECORDS_H
#define KORVASTATION_RECORDS_H

#include <cstdio>
#include <string>
#include <vector>

#include "station/run/board_record.h"
#include "station/store/result_store.h"
#include "sim/support/result.h"
#include "station/run/record_text.h"

namespace korvastation {

struct RecordContext {
    std::string version;       // of dudedoved, the same package's
    std::string image_sha256;  // of the boot image it embeds
};

// One output file of the station. It is opened before the first board
// starts, so that a path that cannot be written is refused before hours of
// testing, and written once at the end, every step checked.
class RecordFile {
public:
    RecordFile() = default;
    ~RecordFile();
    RecordFile(const RecordFile&) = delete;
    RecordFile& operator=(const RecordFile&) = delete;

    korvasim::Result open(const std::string& path, bool append);
    // Writes text and closes the file; a failure names the file.
    korvasim::Result write(const std::string& text);
    bool is_open() const { return file_ != nullptr; }

private:
    FILE* file_ = nullptr;
    std::string path_;
};

std::string json_record(const BoardRecord& record, const RecordContext& context);
// One JSON object per board, a line each.
std::string json_records(const std::vector<BoardRecord>& records, const RecordContext& context);
std::string junit_report(const std::vector<BoardRecord>& records);


// An attempt as the database keeps it.
StoredAttempt stored_attempt(const BoardRecord& record, const std::string& station, const std::string& run);

// "2026-12-09T01:02:03.456Z"
std::string iso_time(std::chrono::system_clock::time_point t);

} // namespace korvastation

#endif
