// What a station run is asked to do: its boards, time-outs, passes, power
// commands and outputs, however they were given.
#ifndef KORVASTATION_STATION_SETTINGS_H
#define KORVASTATION_STATION_SETTINGS_H

#include <string>
#include <vector>

#include "station/run/power_command.h"

namespace korvastation {

struct BoardSpec {
    std::string port;   // as dudedoved -p takes it
    std::string label;  // the board's serial number or fixture name
    std::string power_switch;  // its relay channel, hub port..., for {switch}
    std::string fixture;       // the fixture it was scanned into, when served
    std::string log_stem;      // its logs' names; empty: the label's
};

struct StationSettings {
    std::vector<BoardSpec> boards;
    std::string log_dir;            // empty: a new time-stamped folder
    double wake_timeout_s = 0;      // 0: wait as dudedoved does
    double silence_timeout_s = 30;
    long passes = 1;
    double duration_s = 0;          // 0: count passes instead
    bool stop_at_failure = false;   // a burn-in ends at the first failed pass
    std::string junit_path;
    std::string json_path;
    bool append = false;
    std::string dudedoved;          // empty: beside this program, else on PATH
    PowerCommandLine power_on, power_off;
    double power_cycle_wait_s = 2;  // off before on again
    double power_timeout_s = 30;
    bool keep_power = false;        // boards stay on at the end
    long retests = 0;               // more attempts for a board that failed or hung
    std::string db;                 // a SQLite file or a postgresql:// URI; empty: none
    std::string station_name;       // in the database; empty: the host's name
    std::string http;               // the dashboard's [HOST:]PORT; empty: none
    bool help = false;

    // A burn-in runs dudedoved -c and counts passes.
    bool burn_in() const { return passes > 1 || duration_s > 0; }
};

// A label as the name of its log file: anything but letters, digits, '.',
// '-' and '_' becomes '_'.
std::string log_name_of(const std::string& label);

} // namespace korvastation

#endif
