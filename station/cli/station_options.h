// korvastation's command line.
#ifndef KORVASTATION_STATION_OPTIONS_H
#define KORVASTATION_STATION_OPTIONS_H

#include <getopt.h>
#include <string>
#include <vector>

#include "sim/support/result.h"
#include "station/run/station_settings.h"

namespace korvastation {

extern const char STATION_USAGE[];

// Reads argv into *options; a one-line reason on a usage error.
korvasim::Result parse_station_options(int argc, char** argv, StationSettings* options);

// The longest time an option takes: a month of burn-in is already more than
// any line runs, and larger figures overflow the clocks they are added to.
const double MAX_SECONDS = 30 * 24 * 3600.0;

// "90", "90s", "30m", "8h": seconds; false on anything else, and on more
// than MAX_SECONDS.
bool parse_duration(const std::string& text, double* seconds);

// Why getopt_long refused word: an option without its value, or unknown.
std::string option_problem(const std::string& word, const option* options);

} // namespace korvastation

#endif
