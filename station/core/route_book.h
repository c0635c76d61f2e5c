// Which boards the line's route stops: a board scrapped at a repair bench
// is never tested again, and with require_repair a board whose last attempt
// failed waits for its repair. The database's view of the line (every
// station's attempts and repairs) is read off the loop now and then; what
// this station recorded since the last reading is laid over it, so that a
// check never waits for the database and never forgets its own records.
#ifndef KORVASTATION_ROUTE_BOOK_H
#define KORVASTATION_ROUTE_BOOK_H

#include <map>
#include <set>
#include <string>
#include <vector>

#include "station/store/result_store.h"

namespace korvastation {

class RouteBook {
public:
    // The database's routes, read after every note up to asked_after
    // (noted()'s value when they were asked for) had been written: those
    // notes are in them now.
    void replace(std::vector<BoardRoute> routes, unsigned long asked_after);
    unsigned long noted() const { return notes_; }

    // A board's final attempt recorded here (a golden board's is not).
    void note_attempt(const StoredAttempt& attempt);
    void note_repair(const StoredRepair& repair);
    // A supervisor let the board past the repair check for its next start.
    void allow_once(const std::string& label) { allowed_.insert(label); }

    // Why the board may not start now; empty when it may. today:
    // YYYY-MM-DD, so that a failure of today is named by its time alone.
    std::string refusal(const std::string& label, bool require_repair, const std::string& today) const;
    // The board starts: its allowance is used up. The identity of the
    // repair it comes back from, if it does.
    std::string start(const std::string& label);
    BoardRoute route_of(const std::string& label) const;
    // Boards whose last attempt failed and that were neither repaired nor
    // scrapped since.
    long waiting() const;

private:
    struct Note {
        unsigned long number;
        bool repair;
        StoredAttempt attempt;
        StoredRepair fix;
    };
    static void apply(const std::string& label, const Note& note, BoardRoute* route);

    std::map<std::string, BoardRoute> read_;  // the database's, by serial number
    // This station's since that reading, by serial number, oldest first.
    std::map<std::string, std::vector<Note>> notes_since_;
    unsigned long notes_ = 0;
    std::set<std::string> allowed_;
};

// "10:14" for a time of today, else "2026-12-09 10:14".
std::string route_time(const std::string& iso, const std::string& today);

} // namespace korvastation

#endif
