// A served station's records and logs, a folder per day (UTC): each
// attempt's JSON record is appended to the day's file the moment it is
// complete, so that a station killed at any time loses only what was in
// flight.
#ifndef KORVASTATION_DAY_FOLDER_H
#define KORVASTATION_DAY_FOLDER_H

#include <string>

#include "sim/support/result.h"

namespace korvastation {

class DayFolder {
public:
    explicit DayFolder(std::string root) : root_(std::move(root)) {}

    // Today's folder, made when missing; a reason when it cannot be.
    korvasim::Result today(std::string* folder);
    // Appends one record line to the day's attempts.jsonl, on disk when it
    // returns.
    korvasim::Result append(const std::string& record_line);

    static const char RECORDS_FILE[];

private:
    std::string root_;
};

// YYYY-MM-DD in UTC.
std::string utc_day();

} // namespace korvastation

#endif
