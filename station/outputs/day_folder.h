// A served station's records and logs, a folder per day: each attempt's
// JSON record is appended to the file of the day it started the moment it
// is complete, so that a station killed at any time loses only what was in
// flight, and an attempt that crosses midnight stays beside its logs. A
// record is whole or absent: one the disk could not take (full, a size
// limit) is taken back, kept, and written when the disk takes it again.
// What happened at the station (a fixture checked, an operator's change)
// goes beside them, in the day's events.jsonl, the same way.
#ifndef KORVASTATION_DAY_FOLDER_H
#define KORVASTATION_DAY_FOLDER_H

#include <chrono>
#include <deque>
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
    // it returns; nothing of it when it fails.
    korvasim::Result append(const std::string& record_line, const std::string& day, const char* file = RECORDS_FILE);
    // The attempt's record into the file of the day it started, after the
    // ones that wait for the disk.
    void take(const AttemptRecord& attempt) override;
    // An event into the file of its day, after the records that wait.
    void add_event(const StationEvent& event);
    // A repair into the day's repairs.jsonl, the same way.
    void add_repair(const StoredRepair& repair);
    // Writes the records that wait; true when none is left.
    bool retry();
    // Why the records cannot be written ("no space left on DIR"); empty
    // while they can.
    const std::string& trouble() const { return trouble_; }
    size_t waiting() const { return waiting_.size(); }
    // The records of the newest days' files, oldest first, as the database
    // keeps them: what the database may not hold yet.
    std::vector<StoredAttempt> read_back(size_t days) const;
    std::vector<StationEvent> read_back_events(size_t days) const;
    std::vector<StoredRepair> read_back_repairs(size_t days) const;

    static const char RECORDS_FILE[];
    static const char EVENTS_FILE[];
    static const char REPAIRS_FILE[];

private:
    std::string root_;
    RecordContext context_;
    struct Waiting {
        std::string line, day;
        const char* file;
    };
    // The newest days' files of that name, oldest first.
    std::vector<std::string> newest_files(size_t days, const char* file) const;

    std::deque<Waiting> waiting_;
    std::string trouble_;
};

} // namespace korvastation

#endif
