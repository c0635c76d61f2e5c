// What the station shows while it runs: on a terminal a table, one row per
// board, redrawn in place; elsewhere one plain line per event. Then a
// summary.
#ifndef KORVASTATION_DISPLAY_H
#define KORVASTATION_DISPLAY_H

#include <cstdio>
#include <string>
#include <vector>

#include "board_run.h"

class Display {
public:
    Display(FILE* out, bool terminal) : out_(out), terminal_(terminal) {}

    bool terminal() const { return terminal_; }
    // Elsewhere than on a terminal: the events, a line each.
    void events(const std::vector<std::string>& events);
    // On a terminal: the table, over the one drawn before.
    void table(const std::vector<const BoardRecord*>& records);
    void summary(const std::vector<BoardRecord>& records, int status);

private:
    FILE* out_;
    bool terminal_;
    size_t drawn_ = 0;  // table lines on the screen
};

// The summary's line for one board.
std::string summary_line(const BoardRecord& record);

#endif
