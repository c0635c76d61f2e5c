// What a station that serves fixtures all day is set up with: one TOML file
// (see docs/station.md), read whole and checked before anything starts.
#ifndef KORVASTATION_SERVE_CONFIG_H
#define KORVASTATION_SERVE_CONFIG_H

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/support/result.h"
#include "station/run/attempt_record.h"
#include "station/run/station_settings.h"
#include "station/serve/board_config.h"
#include "station/serve/repair_config.h"

namespace korvastation {

class SerialPattern;

struct FixtureSpec {
    std::string name;            // scanned to select it; on its panel
    std::string port;            // as dudedoved -p takes it
    std::string power_switch;    // its {switch} in the power commands
    std::string serial_pattern;  // a board's serial number must match it whole; empty: any
    std::shared_ptr<const SerialPattern> pattern;  // compiled once, when the configuration is read
    std::string serial_example;  // a serial number it takes, shown to an operator in place of the pattern
    long max_cycles = 0;         // boards it takes before its maintenance is due; 0: no limit
    std::string golden;          // its known-good board's serial number; empty: none
    double golden_every_s = 0;   // the golden board passes in it this often (and first each day); 0: first each day
};

struct ServeConfig {
    std::string path;  // the file it was read from
    // The time-outs, retests, power commands, database and station name;
    // its boards stay empty, a fixture's board comes with each scan.
    StationSettings settings;
    std::string records_dir = "records";  // a folder per day: JSON records and logs
    std::string token;                    // needed for the page's actions beyond loopback
    std::string operator_name;
    bool operator_given = false;          // named on the command line: the day's last one does not replace it
    std::string on_attempt;               // a command fed each attempt's JSON record
    size_t serial_max_length = 40;
    int health_window = 3;                // equal failures in a row that make a fixture suspect
    std::map<Verdict, std::string> advice;  // what the operator does with the board
    std::vector<FixtureSpec> fixtures;  // none: the station is a repair bench alone
    BoardSetup board;
    RepairSetup repair;
};

// A fixture as a configuration gives it, its pattern compiled.
FixtureSpec fixture_of(const std::string& name, const std::string& port, const std::string& power_switch = "",
                       const std::string& serial_pattern = "");

// Reads path into *config. Every mistake is one line naming the file, the
// line and the value.
korvasim::Result load_serve_config(const std::string& path, ServeConfig* config);

} // namespace korvastation

#endif
