// What happened to a board, and when: the station's outputs each make of it
// what they show (a line off a terminal, for one).
#ifndef KORVASTATION_BOARD_EVENT_H
#define KORVASTATION_BOARD_EVENT_H

#include <chrono>
#include <string>

namespace korvastation {

struct BoardEvent {
    enum class Kind {
        STATE,        // waiting for the board, downloading, powering on...
        TEST_RESULT,  // a test's verdict
        VERDICT,      // an attempt is over
        PROGRESS,     // a burn-in's passes so far
        PROBLEM,      // a power command failed
        RETEST,       // a retest begins
    };
    std::string board;  // its label
    Kind kind;
    std::string what;   // as a person reads it
    std::chrono::system_clock::time_point when;
};

} // namespace korvastation

#endif
