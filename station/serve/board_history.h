// A board's history across the line as the repair bench shows it: every
// station's attempts and the repairs, oldest first, and where the board
// stands now (waiting for a repair, back from one, scrapped).
#ifndef KORVASTATION_BOARD_HISTORY_H
#define KORVASTATION_BOARD_HISTORY_H

#include <string>
#include <vector>

#include "station/store/result_store.h"

namespace korvastation {

struct BoardStanding {
    // Its last final attempt with a verdict on the board itself, when that
    // failed or hung; null when it passed or has none.
    const StoredAttempt* failed = nullptr;
    const StoredRepair* repaired = nullptr;  // the latest repair since that failure
    const StoredRepair* scrapped = nullptr;
};

BoardStanding standing_of(const std::vector<StoredAttempt>& attempts, const std::vector<StoredRepair>& repairs);

// The page's view of it, as JSON: its lines ("10:14 bench1 fixture A:
// failed SRAM, diagnosis ...", "10:20 bench2: reflowed U7 by Ann"), the
// failure waiting for a repair with its diagnosis and probe points, and its
// scrapping. today: YYYY-MM-DD, whose times are named by the clock alone.
std::string board_history_json(const std::string& label, const std::vector<StoredAttempt>& attempts,
                               const std::vector<StoredRepair>& repairs, const std::string& today,
                               const std::string& message);

} // namespace korvastation

#endif
