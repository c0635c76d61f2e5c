#include "station/serve/repair_config.h"

#include "station/run/record_text.h"
#include "station/serve/table_reader.h"

namespace korvastation {

using korvasim::Result;

Result read_repair_setup(const std::string& path, TableReader& top, RepairSetup* config)
{
    const toml::table* table = nullptr;
    KORVA_TRY(top.table("repair", "[repair]", &table));
    if (!table)
        return Result::ok();
    TableReader repair(path, *table, "[repair]");
    KORVA_TRY(repair.texts("actions", &config->actions));
    KORVA_TRY(repair.flag("require_repair", &config->require_repair));
    KORVA_TRY(repair.no_other_keys());
    for (const std::string& action : config->actions)
        if (!person_text(action, LONGEST_REPAIR_ACTION))
            return Result::failure(repair.at(*table->get("actions")) + "[repair] action '" + action +
                                   "' refused: 1 to " + std::to_string(LONGEST_REPAIR_ACTION) +
                                   " characters, no control characters");
    return Result::ok();
}

} // namespace korvastation
