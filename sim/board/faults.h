// Board faults that the simulator can inject, parsed from --fault specs.
#ifndef KORVASIM_FAULTS_H
#define KORVASIM_FAULTS_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "sim/support/result.h"

namespace korvasim {

// One bit of one memory cell stuck: the cell is a byte of the SRAM or a
// 32-bit word of the SDRAM, at its byte offset in the chip.
struct CellFault {
    uint32_t offset;
    unsigned bit;
    bool value;
};

// An idempotent coupling fault: writing value `written` to a bit of the
// aggressor cell forces a bit of the victim cell to `forced`.
struct CouplingFault {
    uint32_t aggressor;
    unsigned aggressor_bit;
    bool written;
    uint32_t victim;
    unsigned victim_bit;
    bool forced;
};

// Faults of one memory's data and address lines and of its cells. Lines are
// bit numbers of the data bus and of the byte offset within the device.
struct MemoryFaults {
    uint32_t data_stuck_low = 0;     // mask of data lines stuck at 0
    uint32_t data_stuck_high = 0;    // ... stuck at 1
    std::vector<std::pair<unsigned, unsigned>> data_shorts;     // wired-AND
    uint32_t address_stuck_low = 0;
    uint32_t address_stuck_high = 0;
    std::vector<std::pair<unsigned, unsigned>> address_shorts;  // wired-AND
    bool absent = false;             // no chip: reads see the last value driven
    std::vector<CellFault> cells;
    std::vector<CouplingFault> couplings;

    // Whether any fault is set.
    bool any() const;
    uint32_t on_data(uint32_t value) const;
    // What the cell at offset gives when it holds value.
    uint32_t on_cell(uint32_t offset, uint32_t value) const;
    uint32_t on_address(uint32_t offset) const;
};

struct FlashFaults {
    static constexpr int NO_OVERRIDE = -1;
    int field[4][3] = {{-1, -1, -1}, {-1, -1, -1}, {-1, -1, -1}, {-1, -1, -1}};  // V, S, B
    bool never_ready = false;
    bool any() const;
};

struct FaultSet {
    MemoryFaults sram;
    MemoryFaults sdram;
    FlashFaults flash;
};

// Data and address lines that a spec may name, per memory.
const unsigned SRAM_DATA_LINES = 8;
const unsigned SDRAM_DATA_LINES = 32;
const unsigned SRAM_ADDRESS_LOW = 0, SRAM_ADDRESS_HIGH = 17;
const unsigned SDRAM_ADDRESS_LOW = 2, SDRAM_ADDRESS_HIGH = 25;

// Adds one spec to faults. Fails, naming the spec, when the spec is
// malformed or contradicts one added before (a line stuck at 0 and at 1, a
// flash field with two values).
Result add_fault(const std::string& spec, FaultSet& faults);

// The fault set of one catalogue entry; an entry that does not parse is a
// bug (std::logic_error).
FaultSet catalogue_faults(const std::string& spec);

// The accepted forms, for messages.
const char* fault_forms();

} // namespace korvasim

#endif
