// An expansion bus page as the CPU sees it at its alias near address 0:
// while MEM_MAP is set, the expansion bus device at the page's address plus
// the window base; otherwise the SDRAM at the same address. The page stays
// mapped across MEM_MAP changes, since the engine pays for an unmapped
// range with a TLB flush for each of its 1 KB pages (the boot alias of two
// 16 MB windows, at every boot).
#ifndef KORVASIM_BOOT_ALIAS_H
#define KORVASIM_BOOT_ALIAS_H

#include <cstdint>

#include "firmware/board_map.h"
#include "sim/core/cpu.h"

namespace korvasim {

// Where MEM_MAP also shows the expansion bus: its windows less this.
const uint32_t ALIAS_OFFSET = EXP_WINDOW_BASE;

class BootAlias : public IoHandler {
public:
    // alias: whether MEM_MAP is set now.
    BootAlias(IoHandler& bus, const bool& alias) : bus_(bus), alias_(alias) {}

    uint32_t io_read(uint32_t address, unsigned width) override { return bus_.io_read(target(address), width); }
    void io_write(uint32_t address, unsigned width, uint32_t value) override
    {
        bus_.io_write(target(address), width, value);
    }

private:
    uint32_t target(uint32_t address) const { return alias_ ? address + ALIAS_OFFSET : address; }

    IoHandler& bus_;
    const bool& alias_;
};

} // namespace korvasim

#endif
