#include "sim/analysis/fault_catalogue.h"

#include "sim/board/faults.h"

namespace korvasim {

namespace {

const char* const DATA_STUCK = "data line stuck";
const char* const DATA_SHORT = "data lines shorted";
const char* const ADDRESS_STUCK = "address line stuck";
const char* const ADDRESS_SHORT = "address lines shorted";
const char* const ABSENT = "chip absent";
const char* const FIELD_WRONG = "query field wrong";
const char* const NEVER_READY = "never ready";

// A flash field read as a value it never has on a sound block.
const int WRONG_FIELD_VALUE = 0;

void add_memory(std::vector<CatalogueFault>& all, const std::string& prefix, const std::string& part,
                unsigned data_lines, unsigned address_low, unsigned address_high)
{
    for (unsigned n = 0; n < data_lines; ++n)
        for (int level = 0; level < 2; ++level)
            all.push_back({prefix + ".d" + std::to_string(n) + "=" + std::to_string(level), part,
                           DATA_STUCK,
                           part + " data line " + std::to_string(n) + " stuck at " +
                               std::to_string(level)});
    for (unsigned n = 0; n + 1 < data_lines; ++n)
        all.push_back({prefix + ".d" + std::to_string(n) + "-d" + std::to_string(n + 1), part,
                       DATA_SHORT,
                       part + " data lines " + std::to_string(n) + " and " +
                           std::to_string(n + 1) + " shorted"});
    for (unsigned n = address_low; n <= address_high; ++n)
        for (int level = 0; level < 2; ++level)
            all.push_back({prefix + ".a" + std::to_string(n) + "=" + std::to_string(level), part,
                           ADDRESS_STUCK,
                           part + " address line " + std::to_string(n) + " stuck at " +
                               std::to_string(level)});
    for (unsigned n = address_low; n < address_high; ++n)
        all.push_back({prefix + ".a" + std::to_string(n) + "-a" + std::to_string(n + 1), part,
                       ADDRESS_SHORT,
                       part + " address lines " + std::to_string(n) + " and " +
                           std::to_string(n + 1) + " shorted"});
    all.push_back({prefix + ".absent", part, ABSENT, part + " chip absent"});
}

} // namespace

std::vector<CatalogueFault> fault_catalogue()
{
    std::vector<CatalogueFault> all;
    add_memory(all, "sdram", "SDRAM", SDRAM_DATA_LINES, SDRAM_ADDRESS_LOW, SDRAM_ADDRESS_HIGH);
    for (int query = 0; query < 4; ++query)
        for (const char* field : {"V", "S", "B"})
            all.push_back({"flash.q" + std::to_string(query) + "." + field + "=" +
                               std::to_string(WRONG_FIELD_VALUE),
                           "FLASH", FIELD_WRONG,
                           std::string("FLASH query ") + std::to_string(query) + " field " + field +
                               " reads " + std::to_string(WRONG_FIELD_VALUE)});
    all.push_back({"flash.busy", "FLASH", NEVER_READY, "FLASH block never ready"});
    add_memory(all, "sram", "SRAM", SRAM_DATA_LINES, SRAM_ADDRESS_LOW, SRAM_ADDRESS_HIGH);
    return all;
}

std::vector<std::pair<std::string, std::string>> fault_classes()
{
    std::vector<std::pair<std::string, std::string>> classes;
    for (const char* part : {"SDRAM", "SRAM"})
        for (const char* c : {DATA_STUCK, DATA_SHORT, ADDRESS_STUCK, ADDRESS_SHORT, ABSENT})
            classes.emplace_back(part, c);
    classes.emplace_back("FLASH", FIELD_WRONG);
    classes.emplace_back("FLASH", NEVER_READY);
    return classes;
}

} // namespace korvasim
