// What a served station knows of the day's boards, by serial number: a
// board is a serial number of a day, so that its first attempt that day is
// its first pass and every later one a retest of the same board, whatever
// started it (a retest, a re-scan, the page's button). Read back from the
// records at a start, kept up as each board's verdict comes (before its
// records are complete: a retest may be asked for at once), forgotten at
// the day's end.
#ifndef KORVASTATION_DAY_BOARDS_H
#define KORVASTATION_DAY_BOARDS_H

#include <map>
#include <set>
#include <string>

#include "station/run/attempt_record.h"
#include "station/store/result_store.h"

namespace korvastation {

// A board's day before its next attempt.
struct BoardDay {
    int attempts = 0;                // finished today
    bool passed = false;             // its last final attempt passed
    std::set<std::string> outcomes;  // what its attempts that tested it came to
};

class DayBoards {
public:
    // An attempt whose verdict came.
    void add(const AttemptRecord& attempt);
    // An attempt of the day read back from the records.
    void remember(const StoredAttempt& attempt);
    // A new day forgets the last one's boards.
    void start_day(const std::string& day);
    const std::string& day() const { return day_; }

    BoardDay of(const std::string& serial) const;
    bool passed_today(const std::string& serial) const { return of(serial).passed; }

private:
    void count(const std::string& serial, bool final_attempt, bool passed, const std::string& outcome);

    std::string day_;
    std::map<std::string, BoardDay> boards_;
};

// What a stored attempt came to, in the words of outcome_of; "" for a
// station's trouble (not tested, lost, stopped), which says nothing of the board.
std::string board_outcome_of(const StoredAttempt& a);

} // namespace korvastation

#endif
