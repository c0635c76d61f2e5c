// What the operator's page shows, as the JSON its script reads: a panel per
// fixture, the last message, a board waiting for its confirmation, the
// day's yield. A pure function of a snapshot of the station, so that it is
// tested without a browser.
#ifndef KORVASTATION_OPERATOR_VIEW_H
#define KORVASTATION_OPERATOR_VIEW_H

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "station/serve/fixture.h"
#include "station/store/result_store.h"

namespace korvastation {

// What the operator was told last.
struct OperatorMessage {
    std::string text;
    bool refused = false;
    unsigned long number = 0;  // a new message has a new number
    std::string point;         // the scanning point it answers; "": every one
};

// What a scanning point has chosen, by fixture name.
struct PointChoice {
    std::string selected;  // its next serial number goes there; "" none
    std::string confirm_fixture, confirm_serial;  // a board that waits for its second scan
};

struct FixturePanel {
    std::string name, port;
    Fixture::State state = Fixture::State::IDLE;
    bool selected = false;  // a scanning point's next serial number goes to it
    std::string suspicion;
    std::deque<RecentBoard> last;
    std::optional<AttemptRecord> board;  // its board's attempt under way or last
    bool done = false;                   // that board's verdict is in
    long silent_s = 0;
    bool port_missing = false;  // its local port is not there (an adapter not plugged in)
    long cycles = 0;             // boards since its maintenance
    bool maintenance_due = false;
    std::string golden_due;      // its golden board's serial when it must pass first; else empty
};

struct OperatorSnapshot {
    std::string station, operator_name, day;
    bool stopping = false;
    bool powered = false;  // the station switches the boards' power
    OperatorMessage message;
    std::map<std::string, PointChoice> points;  // by scanning point
    std::vector<FixturePanel> panels;
    YieldRow mine, line;
    std::string records_trouble;   // why the day's records cannot be written now
    std::string database_trouble;  // why the database takes no records now
    size_t database_waiting = 0;   // the attempts that wait for it
    size_t hand_off_waiting = 0;   // the records that wait for the line's own command
    std::map<Verdict, std::string> advice;
    // The repair bench: the actions a technician picks, whether failed
    // boards are held for a repair, whether boards can be looked up (a
    // database), and the boards that wait for their repair.
    std::vector<std::string> repair_actions;
    bool require_repair = false;
    bool repair_lookups = false;
    long waiting_for_repair = 0;
};

std::string operator_page_state(const OperatorSnapshot& snapshot);

} // namespace korvastation

#endif
