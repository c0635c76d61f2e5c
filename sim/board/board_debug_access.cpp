// The board's memory as a debugger reads and writes it: RAM directly, the
// devices through the bus where that has no side effect.
#include "sim/board/board.h"

namespace korvasim {

bool Board::bus_address_of(uint32_t address, uint32_t* bus) const
{
    if (mapped_.alias) {
        for (const auto& [first, end] : expansion_pages_)
            if (address + ALIAS_OFFSET - first < end - first) {
                *bus = address + ALIAS_OFFSET;
                return true;
            }
        if (address < SDRAM_SIZE)
            return false;  // the SDRAM is not there yet
    }
    *bus = address;
    return true;
}

bool Board::read_memory(uint32_t address, uint8_t* out, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        const uint32_t at = address + static_cast<uint32_t>(i);
        uint32_t bus;
        if (const uint8_t* ram = cpu_.ram_at(at))
            out[i] = *ram;
        else if (!bus_address_of(at, &bus) || !bus_.peek(bus, &out[i]))
            return false;
    }
    return true;
}

bool Board::write_memory(uint32_t address, const uint8_t* data, size_t length)
{
    bool code = false;
    bool written = true;
    for (size_t i = 0; i < length && written; ++i) {
        const uint32_t at = address + static_cast<uint32_t>(i);
        uint32_t bus;
        if (uint8_t* ram = cpu_.ram_at(at)) {
            *ram = data[i];
            code = true;
        } else {
            written = bus_address_of(at, &bus) && bus_.poke(bus, data[i]);
        }
    }
    if (code)
        cpu_.code_changed();
    return written;
}

} // namespace korvasim
