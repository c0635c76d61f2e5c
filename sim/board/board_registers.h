// Register blocks of the IXP4xx that the start-up programs: the expansion
// bus controller with its chip selects and memory map switch, the SDRAM
// controller, and the SDRAM interface block (a plain register file).
#ifndef KORVASIM_BOARD_REGISTERS_H
#define KORVASIM_BOARD_REGISTERS_H

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "sim/board/device.h"

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

// Keeps data once it has been through the power-up commands, each followed
// by at least the chip's wait, with refresh off, then the normal-operation
// command, and while the refresh interval started after it is non-zero.
// Waits are counted in the core's instructions: at the fastest core clock
// of the family (667 MHz) and one instruction per cycle, the chip's 100 us
// power-up wait takes POWER_UP_WAIT instructions and its longest command
// time (70 ns, a refresh) COMMAND_WAIT.
class SdramController : public RegisterFile {
public:
    static constexpr uint64_t POWER_UP_WAIT = 66700;
    static constexpr uint64_t COMMAND_WAIT = 47;

    // instructions counts the core's instructions; lose_data is called when
    // the chip loses what it held, running when refresh starts after the
    // power-up sequence (the count is no longer needed then).
    SdramController(std::function<uint64_t()> instructions, std::function<void()> lose_data,
                    std::function<void()> running);
    bool holds_data() const;

    struct Command {
        uint32_t code;
        uint64_t at;         // instruction count when written
        bool refreshing;     // refresh interval non-zero then
    };
    // The registers and the commands so far, for a board started again
    // from a saved state.
    struct State {
        std::map<uint32_t, uint32_t> values;
        std::vector<Command> commands;
        bool operating;
    };
    State save() const { return {values(), commands_, operating_}; }
    void restore(const State& s)
    {
        restore_values(s.values);
        commands_ = s.commands;
        operating_ = s.operating;
    }

private:
    void written(uint32_t offset, uint32_t value) override;
    bool powered_up(uint64_t now) const;

    std::function<uint64_t()> instructions_;
    std::function<void()> lose_data_;
    std::function<void()> running_;
    std::vector<Command> commands_;
    bool operating_ = false;
};

} // namespace korvasim

#endif
