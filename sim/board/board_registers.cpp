#include "sim/board/board_registers.h"

#include <algorithm>

#include "firmware/board_map.h"

namespace korvasim {

namespace {
const uint32_t ENABLE = 0x80000000;
const uint32_t WRITE_ENABLE = 0x2;
const uint32_t BYTE_BUS = 0x1;
const unsigned SIZE_SHIFT = 10;
const uint32_t SIZE_MASK = 0xF;
const uint32_t MIN_WINDOW = 512;

// The power-up sequence that must precede the normal-operation command.
const std::vector<uint32_t> POWER_UP = {3, 2, 7, 8, 4, 1, 2, 6, 6, 0};
} // namespace

ExpansionBus::ExpansionBus(uint32_t cnfg0_reset, std::function<void()> on_change)
    : RegisterFile({{EXP_TIMING_CS0, CS0_RESET}, {CNFG0_OFFSET, cnfg0_reset}},
                   // chip selects 0-7, EXP_CNFG0 and EXP_CNFG1
                   {0x00, 0x04, 0x08, 0x0C, 0x10, 0x14, 0x18, 0x1C, 0x20, 0x24}),
      on_change_(std::move(on_change))
{
}

bool ExpansionBus::decodes(int cs, uint32_t offset) const
{
    const uint32_t timing = value(4 * cs);
    const uint32_t size = MIN_WINDOW << ((timing >> SIZE_SHIFT) & SIZE_MASK);
    return (timing & ENABLE) && offset < size;
}

bool ExpansionBus::writable(int cs) const
{
    return value(4 * cs) & WRITE_ENABLE;
}

unsigned ExpansionBus::data_bits(int cs) const
{
    return (value(4 * cs) & BYTE_BUS) ? 8 : 16;
}

bool ExpansionBus::mem_map() const
{
    return value(CNFG0_OFFSET) & EXP_CNFG0_MEM_MAP;
}

void ExpansionBus::written(uint32_t, uint32_t)
{
    on_change_();
}

SdramController::SdramController(std::function<uint64_t()> instructions,
                                 std::function<void()> lose_data, std::function<void()> running)
    : RegisterFile({}, {SDRAM_CMD, SDRAM_CONFIG0, SDRAM_CONFIG1, SDRAM_SETUP0, SDRAM_SETUP1,
                        SDRAM_SETUP2, SDRAM_REFRESH}),
      instructions_(std::move(instructions)), lose_data_(std::move(lose_data)),
      running_(std::move(running))
{
}

bool SdramController::holds_data() const
{
    return operating_ && value(SDRAM_REFRESH) != 0;
}

bool SdramController::powered_up(uint64_t now) const
{
    if (commands_.size() < POWER_UP.size() || value(SDRAM_REFRESH) != 0)
        return false;
    const size_t first = commands_.size() - POWER_UP.size();
    for (size_t i = 0; i < POWER_UP.size(); ++i) {
        const Command& c = commands_[first + i];
        const uint64_t next = i + 1 < POWER_UP.size() ? commands_[first + i + 1].at : now;
        const uint64_t wait = i == 0 ? POWER_UP_WAIT : COMMAND_WAIT;
        if (c.code != POWER_UP[i] || c.refreshing || next - c.at < wait)
            return false;
    }
    return true;
}

void SdramController::written(uint32_t offset, uint32_t value)
{
    if (offset == SDRAM_REFRESH && operating_) {
        // Without refresh the cells do not keep their charge.
        if (value == 0)
            lose_data_();
        else
            running_();
    } else if (offset == SDRAM_CMD) {
        const uint64_t now = instructions_();
        if (value == SDRAM_CMD_NORMAL)
            operating_ = powered_up(now);
        commands_.push_back({value, now, this->value(SDRAM_REFRESH) != 0});
        // Only the latest sequence counts.
        if (commands_.size() > 2 * POWER_UP.size())
            commands_.erase(commands_.begin(), commands_.end() - POWER_UP.size());
    }
}

} // namespace korvasim
