// Every single fault the simulator can inject, by class, with a name that a
// test engineer reads.
#ifndef KORVASIM_FAULT_CATALOGUE_H
#define KORVASIM_FAULT_CATALOGUE_H

#include <string>
#include <vector>

namespace korvasim {

struct CatalogueFault {
    std::string spec;         // as --fault takes it
    std::string part;         // "SDRAM", "FLASH" or "SRAM"
    std::string fault_class;  // for example "data line stuck"
    std::string name;         // for example "SRAM data line 3 stuck at 0"
};

// Data and address lines stuck at 0 and 1, neighbouring lines shorted and
// the absent chip for SRAM and SDRAM; each flash field of each query wrong
// and the flash block never ready.
std::vector<CatalogueFault> fault_catalogue();

// The catalogue's classes, in the order of the report.
std::vector<std::pair<std::string, std::string>> fault_classes();  // part, class

} // namespace korvasim

#endif
