// What the station shows while it runs: on a terminal a table, one row per
// board, redrawn in place; elsewhere one plain line per event. Then a
// summary.
#ifndef KORVASTATION_DISPLAY_H
#define KORVASTATION_DISPLAY_H

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "station/run/board_event.h"
#include "station/run/attempt_record.h"

namespace korvastation {

// What an operator needs of a board at a glance, on the terminal's table
// and on the dashboard's tiles.
struct TableRow {
    std::string board, port, state, test, passes, failure;
};
TableRow row_of(const AttemptRecord& r);

class Display {
public:
    // width tells the terminal's width in columns, asked at every redraw.
    Display(FILE* out, bool terminal, std::function<size_t()> width)
        : out_(out), terminal_(terminal), width_(std::move(width))
    {
    }

    bool terminal() const { return terminal_; }
    // Elsewhere than on a terminal: the events, a line each.
    void events(const std::vector<BoardEvent>& events);
    // On a terminal: the table, over the one drawn before.
    void table(const std::vector<const AttemptRecord*>& records);
    void summary(const std::vector<AttemptRecord>& records, int status);

private:
    FILE* out_;
    bool terminal_;
    std::function<size_t()> width_;
    size_t drawn_ = 0;        // table lines on the screen
    size_t drawn_width_ = 0;  // the terminal's width when they were drawn
};

// Text as the terminal may show it: every control character (an escape
// sequence in a label would clear the screen or forge a line) as \xNN.
std::string terminal_text(const std::string& text);

// The summary's line for one board.
std::string summary_line(const AttemptRecord& record);

} // namespace korvastation

#endif
