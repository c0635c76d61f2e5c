// What the operator's scans mean: a fixture's label selects that fixture,
// the next scan is the serial number of the board put into it. Each
// scanning point (the terminal, each open page) keeps a selection of its
// own, so that a label scanned at one never sends a serial scanned at
// another elsewhere. A serial number is checked before anything starts; a
// board that passed today already is tested again only when its scan is
// repeated at the same point (or confirmed on the page). A fixture waiting
// to be checked is cleared by scanning "CHECKED:" and its name.
#ifndef KORVASTATION_SCAN_DESK_H
#define KORVASTATION_SCAN_DESK_H

#include <cstdint>
#include <functional>
#include <map>
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
        CHECKED,   // "CHECKED:NAME": the fixture was checked (a printed barcode or a typed line)
        REFUSED,   // message says why; nothing changed
    };
    Kind kind = Kind::IGNORED;
    size_t fixture = 0;
    std::string serial;
    std::string message;  // for the operator, on the page and the terminal
    std::string detail;   // for the terminal's log only (a pattern an operator is not shown)
};

// What one scanning point has chosen.
struct ScanPoint {
    int selected = -1;         // the fixture its next serial number goes to; -1: none
    int confirm_fixture = -1;  // a board that waits for its second scan here, and where
    std::string confirm_serial;
    uint64_t used = 0;  // when it last scanned, in scans
};

class ScanDesk {
public:
    // Why a board cannot go into a fixture now, "" when it can.
    using Busy = std::function<std::string(size_t fixture, const std::string& serial)>;

    // passed_today: whether a serial number passed today at this station.
    ScanDesk(const ServeConfig& config, std::function<bool(const std::string&)> passed_today);

    // A scan as typed at a point, without its Enter. chosen: the fixture
    // named with the scan itself (-1: none), which a label still overrides.
    ScanAnswer scan(const std::string& point, const std::string& text, int chosen, const Busy& busy);
    // The page's choice of fixture for its point (-1: none).
    ScanAnswer select(const std::string& point, int fixture);
    // The page's "test again" for the board that waits at its point.
    ScanAnswer confirm(const std::string& point, size_t fixture, const Busy& busy);
    // The points that have chosen something, by name.
    const std::map<std::string, ScanPoint>& points() const { return points_; }

    // The terminal's point; a page names its own.
    static const char TERMINAL[];
    static const char CHECKED_PREFIX[];
    // Points are forgotten, least used first, beyond this many.
    static constexpr size_t MOST_POINTS = 64;
    // Whether a page's point name is one the station keeps.
    static bool valid_point(const std::string& point);

private:
    ScanPoint& point_of(const std::string& point);
    ScanAnswer board(ScanPoint& point, const std::string& serial, size_t fixture, const Busy& busy);
    ScanAnswer refuse(const std::string& why, const std::string& detail = "");

    const ServeConfig& config_;
    std::function<bool(const std::string&)> passed_today_;
    std::map<std::string, ScanPoint> points_;
    uint64_t scans_ = 0;
};

// A scanned text as a message shows it: what a scanner should never send
// (controls, bytes beyond ASCII) as \xNN, cut to a readable length.
std::string shown_scan(const std::string& text);

} // namespace korvastation

#endif
