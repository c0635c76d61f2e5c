// Register blocks of the IXP4xx that the start-up programs: the expansion
// bus controller with its chip selects and memory map switch, the SDRAM
// controller, and the SDRAM interface block (a plain register file).
#ifndef KORVASIM_BOARD_REGISTERS_H
#define KORVASIM_BOARD_REGISTERS_H

#include <functional>
#include <vector>

#include "device.h"

namespace korvasim {

class ExpansionBus : public RegisterFile {
public:
    // Chip select 0 comes out of reset enabled over the whole window, so
    // the boot device answers before anything is set up.
    static constexpr uint32_t CS0_RESET = 0xBFFF3C43;
    static constexpr uint32_t CNFG0_OFFSET = 0x20;

    // on_change is called after every write to a chip select or EXP_CNFG0.
    ExpansionBus(uint32_t cnfg0_reset, std::function<void()> on_change);

    // Whether chip select cs answers at offset within its window.
    bool decodes(int cs, uint32_t offset) const;
    // Whether chip select cs lets writes through (its write enable bit).
    bool writable(int cs) const;
    // The data bus width chip select cs is set to: 8 or 16 bits.
    unsigned data_bits(int cs) const;
    bool mem_map() const;

private:
    void written(uint32_t offset, uint32_t value) override;

    std::function<void()> on_change_;
};

// Keeps data once it has been through the power-up commands and the
// normal-operation command, while the refresh interval is non-zero.
class SdramController : public RegisterFile {
public:
    SdramController();
    bool holds_data() const;

private:
    void written(uint32_t offset, uint32_t value) override;

    std::vector<uint32_t> commands_;
    bool operating_ = false;
};

} // namespace korvasim

#endif
