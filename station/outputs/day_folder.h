// A served station's records and logs, a folder per day: each attempt's
// JSON record is appended to the file of the day it started the moment it
// is complete, so that a station killed at any time loses only what was in
// flight, and an attempt that crosses midnight stays beside its logs.
#ifndef KORVASTATION_DAY_FOLDER_H
#define KORVASTATION_DAY_FOLDER_H

#include <chrono>
#include <string>
#include <vector>

#include "sim/support/result.h"
#include "station/outputs/attempt_sink.h"
#include "station/outputs/records.h"

namespace korvastation {

class DayFolder : public AttemptSink {
public:
    DayFolder(std::string root, RecordContext context);

    // The folder of the day of when, made when missing; a reason when it
    // cannot be.
    korvasim::Result folder_of(std::chrono::system_clock::time_point when, std::string* folder);
    // Appends one record line to the attempts.jsonl of day, on disk when
    // it returns.
    korvasim::Result append(const std::string& record_line, const std::string& day);
    // The attempt's record into the file of the day it started; a failure
    // is told, never thrown.
    void take(const AttemptRecord& attempt) override;
    // The records of the newest days' files, oldest first, as the database
    // keeps them: what the database may not hold yet.
    std::vector<StoredAttempt> read_back(size_t days) const;

    static const char RECORDS_FILE[];

private:
    std::string root_;
    RecordContext context_;
};

} // namespace korvastation

#endif
