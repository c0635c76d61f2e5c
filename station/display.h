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

    void show(const std::vector<BoardRecord>& records, const std::vector<std::string>& events);
    void summary(const std::vector<BoardRecord>& records, int status);

private:
    FILE* out_;
    bool terminal_;
    size_t drawn_ = 0;  // table lines on the screen
};

// The summary's line for one board.
std::string summary_line(const BoardRecord& record);

#endif
