// What the live page of a batch shows, as the JSON its script reads: a
// tile per board, the day's yield of this station and the others that
// share its database, and what happened last. A pure function of a
// snapshot of the station, so that it is tested without a browser.
#ifndef KORVASTATION_LIVE_VIEW_H
#define KORVASTATION_LIVE_VIEW_H

#include <deque>
#include <string>
#include <vector>

#include "station/run/attempt_record.h"
#include "station/run/board_event.h"
#include "station/store/result_store.h"

namespace korvastation {

struct LiveTile {
    std::vector<AttemptRecord> attempts;  // the board's, the last one under way or final
    double progress = 0;                  // 0 to 1: tests of its pass, or its burn-in
    long silent_s = 0;                    // seconds without output in a test
    std::string burn_in;                  // how far a burn-in is, in words
};

struct LivePageSnapshot {
    std::string station;
    std::string day;  // YYYY-MM-DD
    std::vector<LiveTile> tiles;
    YieldRow mine;                  // this station's boards of the day
    std::vector<YieldRow> others;   // the other stations', by station
    std::deque<BoardEvent> recent;  // what happened last, oldest first
};

std::string live_page_state(const LivePageSnapshot& snapshot);

} // namespace korvastation

#endif
