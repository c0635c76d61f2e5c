// What one attempt at a board came to: its verdict, its tests' counts, its
// logs and its diagnosis. The verdict is an enum; its words are made only
// where the record is shown or written.
#ifndef KORVASTATION_BOARD_RECORD_H
#define KORVASTATION_BOARD_RECORD_H

#include <chrono>
#include <string>
#include <vector>

#include "host/report_lines.h"
#include "sim/analysis/fault_catalogue.h"
#include "station/run/station_settings.h"

namespace korvastation {

enum class Verdict {
    RUNNING,
    PASSED,
    FAILED,      // a test failed
    HUNG,        // a time-out: no wake-up, or a silent test
    LOST,        // the port went away, or dudedoved ended early
    NOT_TESTED,  // the port (or the log) could not be opened
    STOPPED,     // the station was stopped first
};

const char* verdict_name(Verdict v);
// Whether the station could not test the board (exit status 2).
bool untested(Verdict v);

struct BoardRecord {
    BoardSpec board;
    std::chrono::system_clock::time_point start, end;
    Verdict verdict = Verdict::RUNNING;
    std::string phase = "starting";
    int running_test = NO_BOARD_TEST;  // the BoardTest under way
    int hung_test = NO_BOARD_TEST;     // with HUNG: the BoardTest, or none before the tests
    std::string hung_in;        // "wake-up", "start-up" or the test, with HUNG
    std::string problem;        // why it is HUNG, LOST or NOT_TESTED
    long passes = 0;            // complete passes
    long counts[BOARD_TEST_COUNT][2] = {};     // per test: passed, failed
    long first_failure[BOARD_TEST_COUNT] = {}; // per test: the pass it first failed in, 0 if none
    double seconds[BOARD_TEST_COUNT] = {};     // per test: the time of all its passes
    std::string failure_report[BOARD_TEST_COUNT];  // per test: its report in the verbose log, when it failed
    std::string log;            // dudedoved's log of the run
    std::string verbose_log;    // of the verbose pass for the diagnosis, if any
    std::vector<korvasim::CatalogueFault> diagnosis;
    std::string diagnosis_note; // when the log could not be diagnosed
    int retest = 0;             // 0: the board's first attempt, K: its K-th retest
    bool final_attempt = true;  // the attempt whose verdict is the board's
    bool intermittent = false;  // with the final attempt: the attempts disagree
    std::string power_log;      // the power commands' output, when there are any
    std::string power_problem;  // a power command at the end failed
    std::string operator_name;  // who put the board in, when served

    long failures() const;
};

// " in FLASH", " at the wake-up": where a hung board stopped.
std::string hung_where(const BoardRecord& r);
// The verdict as the board has it: "passed on retest 2" apart from "passed".
std::string verdict_text(const BoardRecord& r);

// What an attempt came to: its verdict, and the tests it failed or hung in.
std::string outcome_of(const BoardRecord& r);

// Its diagnosis as the operator reads it: the candidates joined by " or ",
// or why there are none.
std::string diagnosis_of(const BoardRecord& r);

} // namespace korvastation

#endif
