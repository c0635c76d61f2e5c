// What the operator's scans mean: a fixture's label selects that fixture,
// the next scan is the serial number of the board put into it. A serial
// number is checked before anything starts; a board that passed today
// already is tested again only when its scan is repeated (or confirmed on
// the page).
#ifndef KORVASTATION_SCAN_DESK_H
#define KORVASTATION_SCAN_DESK_H

#include <functional>
#include <string>
#include <vector>

#include "station/serve/serve_config.h"

namespace korvastation {

struct ScanAnswer {
    enum class Kind {
        IGNORED,   // an empty line
        SELECTED,  // a fixture's label: its board comes next
        START,     // test serial in fixture
        CONFIRM,   // serial passed today: scan again to test it again
        REFUSED,   // message says why; nothing changed
    };
    Kind kind = Kind::IGNORED;
    size_t fixture = 0;
    std::string serial;
    std::string message;  // for the operator, on the page and the terminal
};

class ScanDesk {
public:
    // passed_today: whether a serial number passed today at this station.
    ScanDesk(const ServeConfig& config, std::function<bool(const std::string&)> passed_today);

    // A scan as typed, without its Enter. chosen: the fixture picked on
    // the page (-1: none); busy(k): why fixture k takes no board now, or "".
    ScanAnswer scan(const std::string& text, int chosen, const std::function<std::string(size_t)>& busy);
    // The page's "test again" for the board that waits for a confirmation.
    ScanAnswer confirm(size_t fixture, const std::function<std::string(size_t)>& busy);
    // The fixture the next serial number goes to; -1: none selected.
    int selected() const { return selected_; }
    // The board that waits for its confirmation, and where; -1: none.
    int confirming() const { return confirm_fixture_; }
    const std::string& confirming_serial() const { return confirm_serial_; }

private:
    ScanAnswer board(const std::string& serial, size_t fixture, const std::function<std::string(size_t)>& busy);
    ScanAnswer refuse(const std::string& why);

    const ServeConfig& config_;
    std::function<bool(const std::string&)> passed_today_;
    int selected_ = -1;
    int confirm_fixture_ = -1;
    std::string confirm_serial_;
};

// A scanned text as a message shows it: what a scanner should never send
// (controls, bytes beyond ASCII) as \xNN, cut to a readable length.
std::string shown_scan(const std::string& text);

} // namespace korvastation

#endif
