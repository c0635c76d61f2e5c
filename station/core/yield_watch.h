// The day's yield as the pages show it. With a database it is the
// database's count (every station of the line writes there), asked for
// soon after this station's records and now and then for the others';
// without one, this station's own attempts of the day, counted as they end.
#ifndef KORVASTATION_YIELD_WATCH_H
#define KORVASTATION_YIELD_WATCH_H

#include <chrono>
#include <map>
#include <string>

#include "station/outputs/attempt_sink.h"
#include "station/store/database_worker.h"

namespace korvastation {

class YieldWatch : public AttemptSink {
public:
    // database: null without one.
    YieldWatch(DatabaseWorker* database, std::string station);

    void take(const AttemptRecord& attempt) override;
    // Asks the database when an answer is due and takes the one that
    // came; a new day starts from nothing. True when the tally changed.
    bool refresh(std::chrono::steady_clock::time_point now, const std::string& day);

    const std::string& day() const { return day_; }
    const YieldTally& tally() const { return tally_; }
    // This station's row of the tally (zeros while it has none).
    YieldRow station_row() const;

private:
    struct Board {
        bool first_passed = false, last_passed = false;
        int attempts = 0;
    };
    void count_own();

    DatabaseWorker* database_;
    std::string station_;
    std::string day_;
    YieldTally tally_;
    std::chrono::steady_clock::time_point asked_;
    bool asked_once_ = false;
    bool wanted_ = false;
    std::map<std::string, Board> own_;  // without a database: the day's boards by serial number
};

} // namespace korvastation

#endif
