// What one attempt at a board came to: its verdict, its tests' counts, its
// logs and its diagnosis. The verdict is an enum; its words are made only
// where the record is shown or written.
#ifndef KORVASTATION_ATTEMPT_RECORD_H
#define KORVASTATION_ATTEMPT_RECORD_H

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

// Where an attempt is between its start and its verdict.
enum class Phase {
    STARTING,
    POWERING_OFF,       // the board's power is switched off first
    POWERED_OFF,        // off for the power cycle's wait
    WAITING_TO_RETEST,  // an unpowered board's pause before its retest
    WAITING_FOR_BOARD,  // dudedoved waits for the loader's wake-up byte
    DOWNLOADING,
    TESTING,            // the tests, running_test the one under way
    VERBOSE_PASS,       // a burn-in's verbose pass for the diagnosis
    DONE,
};

const char* verdict_name(Verdict v);
// Whether the station could not test the board (exit status 2).
bool untested(Verdict v);

struct AttemptRecord {
    std::string id;  // the attempt's identity in every record, once it is complete
    BoardSpec board;
    std::chrono::system_clock::time_point start, end;
    Verdict verdict = Verdict::RUNNING;
    Phase phase = Phase::STARTING;
    int running_test = NO_BOARD_TEST;  // the BoardTest under way
    int hung_test = NO_BOARD_TEST;     // with HUNG: the BoardTest, or none before the tests
    std::string hung_in;        // "wake-up", "start-up" or the test, with HUNG
    std::string problem;        // why it is HUNG, LOST or NOT_TESTED
    long passes = 0;            // complete passes
    long counts[BOARD_TEST_COUNT][2] = {};     // per test: passed, failed
    long first_failure[BOARD_TEST_COUNT] = {}; // per test: the pass it first failed in, 0 if none
    double seconds[BOARD_TEST_COUNT] = {};     // per test: the time of all its passes
    std::string failure_excerpt[BOARD_TEST_COUNT];  // per test: its lines of the verbose log, when it failed
    std::string log;            // dudedoved's log of the run
    std::string verbose_log;    // of the verbose pass for the diagnosis, if any
    std::vector<korvasim::CatalogueFault> diagnosis;
    std::vector<std::string> probe_points;  // per candidate: where to probe its lines ("" for none)
    std::string diagnosis_note; // when the log could not be diagnosed
    std::string diagnosis_closest;  // ... and the faults that came closest
    int retest = 0;             // 0: the board's first attempt, K: its K-th retest
    bool final_attempt = true;  // the attempt whose verdict is the board's
    bool intermittent = false;  // with the final attempt: the attempts disagree
    std::string power_log;      // the power commands' output, when there are any
    std::string power_problem;  // a power command at the end failed
    std::string operator_name;  // who put the board in, when served
    bool station_trouble = false;  // not tested because the station could not write its logs
    bool golden = false;           // a fixture's known-good board, proving the fixture: never in the yield
    long fixture_cycles = 0;       // served: the boards its fixture had taken since its maintenance, this one too
    std::string after_repair;      // served: the identity of the repair the board came back from; else empty

    long failures() const;
};

// The phase as a person reads it: "waiting for the board", "SRAM",
// "verbose FLASH".
std::string phase_text(const AttemptRecord& r);

// " in FLASH", " at the wake-up": where a hung board stopped.
std::string hung_where(const AttemptRecord& r);
// The verdict as the board has it: "passed on retest 2" apart from "passed".
std::string verdict_text(const AttemptRecord& r);

// What an attempt came to: its verdict, and the tests it failed or hung in.
std::string outcome_of(const AttemptRecord& r);

// Its diagnosis as the operator reads it: the candidates joined by " or ",
// or why there are none.
std::string diagnosis_of(const AttemptRecord& r);

// Where to probe, a line per candidate that names lines: "probe SRAM D3:
// U7 pin 12 (DQ3), ...", with several candidates "if FAULT: probe ...".
std::string probe_text(const std::vector<std::string>& faults, const std::vector<std::string>& points);
std::string probe_points_of(const AttemptRecord& r);

} // namespace korvastation

#endif
