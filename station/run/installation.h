// Where the station finds what it needs on this machine: its dudedoved, its
// log folder, its name.
#ifndef KORVASTATION_INSTALLATION_H
#define KORVASTATION_INSTALLATION_H

#include <string>

#include "sim/support/result.h"

namespace korvastation {

// The dudedoved of the same installation: next to this program, else on
// PATH. A failure names every place looked at.
korvasim::Result find_dudedoved(std::string* found);

// Makes path and the folders above it; false when it is no folder then.
bool make_dirs(const std::string& path);

// "station-20261209-213000": a new folder name for this run's logs.
std::string default_log_dir();

// The host's name, the station's name unless one is given.
std::string host_name();

} // namespace korvastation

#endif
