// What the dashboard shows, as the JSON its page reads: the boards' tiles
// and the day's yield.
#ifndef KORVASTATION_DASHBOARD_STATE_H
#define KORVASTATION_DASHBOARD_STATE_H

#include <string>
#include <vector>

#include "station/board_run.h"
#include "station/station_options.h"

namespace korvastation {

struct DayYield {
    std::string day;  // YYYY-MM-DD, UTC
    long boards = 0, first_pass = 0, final_pass = 0;
};

// today: the boards the database had for the day when the station started;
// the boards of this run that are through are added to it.
std::string dashboard_state(const std::string& station, const std::vector<const BoardRun*>& runs,
                            const StationOptions& options, const DayYield& today);

} // namespace korvastation

#endif
