// The part of a served station's configuration that says where a repair
// technician probes: [board], the board's netlist and the nets of the
// lines a diagnosis names.
#ifndef KORVASTATION_BOARD_CONFIG_H
#define KORVASTATION_BOARD_CONFIG_H

#include <memory>
#include <string>

#include "sim/support/result.h"
#include "station/board/probe_points.h"

namespace korvastation {

class TableReader;

struct BoardSetup {
    std::string netlist;  // the board's KiCad netlist, as read; empty: none
    // Probe points and component references from it; empty without one.
    std::shared_ptr<const ProbePoints> probes = std::make_shared<const ProbePoints>();
};

// Reads [board] of the file at path (a netlist's relative path is taken
// from the configuration's folder).
korvasim::Result read_board_setup(const std::string& path, TableReader& top, BoardSetup* config);

} // namespace korvastation

#endif
