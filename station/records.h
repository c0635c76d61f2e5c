// The station's records: one JSON object per board (a line each), and a
// JUnit XML report with a test suite per board and a test case per test
// and pass, as CI dashboards read them.
#ifndef KORVASTATION_RECORDS_H
#define KORVASTATION_RECORDS_H

#include <string>
#include <vector>

#include "board_run.h"
#include "result.h"

struct RecordContext {
    std::string version;       // of dudedoved, the same package's
    std::string image_sha256;  // of the boot image it embeds
};

std::string json_record(const BoardRecord& record, const RecordContext& context);
korvasim::Result write_json(const std::string& path, bool append, const std::vector<BoardRecord>& records,
                            const RecordContext& context);
korvasim::Result write_junit(const std::string& path, const std::vector<BoardRecord>& records);

// "2026-12-09T01:02:03.456Z"
std::string iso_time(std::chrono::system_clock::time_point t);

#endif
