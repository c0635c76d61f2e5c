// The part of a served station's configuration that sets up its repair
// bench: [repair], the actions a technician records and whether a failed
// board must be repaired before it is tested again.
#ifndef KORVASTATION_REPAIR_CONFIG_H
#define KORVASTATION_REPAIR_CONFIG_H

#include <string>
#include <vector>

#include "sim/support/result.h"

namespace korvastation {

class TableReader;

struct RepairSetup {
    std::vector<std::string> actions = {"reflowed", "replaced", "cleaned", "no fault found", "scrapped"};
    // A board whose last attempt failed is refused until a repair is recorded.
    bool require_repair = false;
};

// The longest action's name a technician picks.
const size_t LONGEST_REPAIR_ACTION = 40;

korvasim::Result read_repair_setup(const std::string& path, TableReader& top, RepairSetup* config);

} // namespace korvastation

#endif
