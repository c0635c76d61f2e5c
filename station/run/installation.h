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

// Puts text in path's place: written whole beside it, then renamed over it,
// so that a crash or a full disk leaves the old file or the new one, never
// half of either. A failure names what (the file's role) and the file.
korvasim::Result replace_file(const std::string& path, const std::string& text, const std::string& what);

// "station-20261209-213000": a new folder name for this run's logs.
std::string default_log_dir();

// The host's name, the station's name unless one is given.
std::string host_name();

} // namespace korvastation

#endif
