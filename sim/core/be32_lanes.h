// The data lanes of the XScale's BE-32 core on the Unicorn 2.0.1 engine.
// The real core comes out of reset little-endian for data: until CP15
// control bit 7 is set, byte and halfword accesses reach the other lanes of
// their word (address XOR 3 or 2); words and instruction fetches do not move.
// The engine fetches right only with bit 7 set, so it keeps it set; the
// core's own bit is followed at each unconditional CP15 control transfer,
// and loads and stores of the little-endian core are moved to their lanes
// around the engine's own access.
#ifndef KORVASIM_CORE_BE32_LANES_H
#define KORVASIM_CORE_BE32_LANES_H

#include <cstdint>
#include <vector>

#include "sim/core/ram_map.h"

struct uc_struct;

namespace korvasim {

class Be32Lanes {
public:
    Be32Lanes(uc_struct* uc, const RamMap& ram) : uc_(uc), ram_(ram) {}

    // The core's CP15 control bit 7.
    bool big_endian() const { return big_endian_; }
    // Whether the core is big-endian with no CP15 transfer under way: from
    // then on instructions need not be looked at.
    bool settled() const { return big_endian_ && cp15_register_ < 0; }
    // The address a data access of width bytes reaches on the bus.
    uint32_t bus_address(uint32_t address, unsigned width) const
    {
        if (width < 4 && !big_endian_)
            return address ^ (4 - width);
        return address;
    }
    // Before each instruction while not settled; code is its word in RAM, or
    // nullptr where it runs from none.
    void before_instruction(const uint8_t* code);
    // A data access to RAM at address (engine) and bus, before it happens.
    void before_ram_access(bool write, uint32_t address, uint32_t bus, unsigned width);
    // Finishes the accesses still being moved: before every access of the
    // core, before the RAM map changes and when the core stops.
    void settle()
    {
        if (swapped_width_ || !pending_.empty())
            settle_moved();
    }

private:
    // A store whose bytes the engine put at the core's address and that
    // still has to move to its lane.
    struct PendingStore {
        uint32_t engine_address;
        uint32_t bus_address;
        unsigned width;
        uint8_t at_engine[4];
    };

    void settle_moved();

    uc_struct* uc_;
    const RamMap& ram_;
    bool big_endian_ = false;
    // A general register that carries the engine's view of bit 7 across one
    // CP15 transfer (-1: none): after a write it gets its value back, after
    // a read the core's bit 7.
    int cp15_register_ = -1;
    bool cp15_restore_ = false;
    uint32_t cp15_register_value_ = 0;
    // A load moved to another lane swaps the two lanes' bytes until it is done.
    uint32_t swapped_at_ = 0;
    unsigned swapped_width_ = 0;
    std::vector<PendingStore> pending_;
};

} // namespace korvasim

#endif
