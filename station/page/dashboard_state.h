// What the dashboard shows, as the JSON its page reads: the boards' tiles
// and the day's yield.
#ifndef KORVASTATION_DASHBOARD_STATE_H
#define KORVASTATION_DASHBOARD_STATE_H

#include <deque>
#include <string>
#include <vector>

#include "station/run/board_run.h"
#include "station/store/result_store.h"
#include "station/run/station_settings.h"

namespace korvastation {

// The day's yield of every station in the database (this one's without
// this run), as read now and then; the boards of this run that are through are
// added to this station's.
struct LineToday {
    std::string day;  // YYYY-MM-DD, UTC
    std::vector<YieldRow> stations;  // keyed by station
};

// recent: what happened last, oldest first.
std::string dashboard_state(const std::string& station, const std::vector<const BoardRun*>& runs,
                            const StationSettings& options, const LineToday& today,
                            const std::deque<BoardEvent>& recent);

} // namespace korvastation

#endif
