// The parts of a served station's configuration that its repair bench
// needs: [board] (the board's netlist, and the nets of the lines a
// diagnosis names) and [repair] (the actions a repair may record, and
// whether a failed board must be repaired before it is tested again).
#ifndef KORVASTATION_REPAIR_CONFIG_H
#define KORVASTATION_REPAIR_CONFIG_H

#include <memory>
#include <string>
#include <vector>

#include "sim/support/result.h"
#include "station/board/probe_points.h"
#include "station/store/result_store.h"

namespace korvastation {

class TableReader;

struct RepairConfig {
    std::string netlist;  // the board's KiCad netlist, as read; empty: none
    // Probe points and component references from it; empty without one.
    std::shared_ptr<const ProbePoints> probes = std::make_shared<const ProbePoints>();
    std::vector<std::string> actions = {"reflowed", "replaced", "cleaned", REPAIR_NO_FAULT_FOUND, REPAIR_SCRAPPED};
    bool require_repair = false;
};

// Reads [board] and [repair] of the file at path (a netlist's relative
// path is taken from the configuration's folder).
korvasim::Result read_repair_config(const std::string& path, TableReader& top, RepairConfig* config);

} // namespace korvastation

#endif
