#include "bus.h"

#include <cstdio>

#include "board_map.h"
#include "board_registers.h"

namespace korvasim {

std::string format_trace(const TraceRecord& r)
{
    char line[80];
    snprintf(line, sizeof line, "%llu %c 0x%08x %u 0x%08x",
             static_cast<unsigned long long>(r.instruction), r.kind, r.address, r.width, r.value);
    return line;
}

Bus::Bus(const ExpansionBus* expansion, std::function<void(const std::string&)> on_fault,
         std::function<void(char, uint32_t, unsigned)> on_undefined)
    : expansion_(expansion), on_fault_(std::move(on_fault)), on_undefined_(std::move(on_undefined))
{
}

void Bus::attach(uint32_t base, uint32_t size, Device* device, bool traced, int chip_select,
                 unsigned data_bits)
{
    slots_.push_back({base, size, device, traced, chip_select, data_bits});
}

uint32_t Bus::through_lanes(const Slot* slot, uint32_t address, unsigned width, uint32_t value) const
{
    // A chip select set to another data bus width than its device's puts
    // the bytes of even addresses on lanes the device is not wired to (and
    // an 8-bit bus drives only the lanes a 16-bit device takes odd bytes
    // on): those bytes float high, both ways.
    if (slot->chip_select == NO_CHIP_SELECT ||
        expansion_->data_bits(slot->chip_select) == slot->data_bits)
        return value;
    for (unsigned i = 0; i < width; ++i)
        if ((address + i) % 2 == 0)
            value |= 0xFFu << (8 * (width - 1 - i));
    return value;
}

void Bus::trace_to(std::function<void(const TraceRecord&)> sink, const Cpu* cpu)
{
    trace_sink_ = std::move(sink);
    cpu_ = cpu;
}

const Bus::Slot* Bus::decode(uint32_t address, char kind, unsigned width)
{
    for (const Slot& slot : slots_) {
        if (address - slot.base >= slot.size)
            continue;
        if (slot.chip_select != NO_CHIP_SELECT &&
            !expansion_->decodes(slot.chip_select,
                                 address - EXP_WINDOW_BASE - slot.chip_select * EXP_WINDOW_STRIDE)) {
            char text[120];
            snprintf(text, sizeof text,
                     "bus error: %s at 0x%08x, outside the set-up window of chip select %d",
                     kind == 'R' ? "read" : "write", address, slot.chip_select);
            on_fault_(text);
            return nullptr;
        }
        // Never silently ignored: the access is counted and told about.
        if (!slot.device->defines(address - slot.base, width, kind == 'W')) {
            if (on_undefined_)
                on_undefined_(kind, address, width);
            return nullptr;
        }
        return &slot;
    }
    // No device at all here: reads see 0, and the access is told about.
    if (on_undefined_)
        on_undefined_(kind, address, width);
    return nullptr;
}

void Bus::trace(const Slot* slot, char kind, uint32_t address, unsigned width, uint32_t value)
{
    if (slot->traced && trace_sink_)
        trace_sink_({cpu_->instructions(), kind, address, width, value});
}

uint32_t Bus::io_read(uint32_t address, unsigned width)
{
    const Slot* slot = decode(address, 'R', width);
    if (!slot)
        return 0;
    const uint32_t value =
        through_lanes(slot, address, width, slot->device->read(address - slot->base, width));
    trace(slot, 'R', address, width, value);
    return value;
}

void Bus::io_write(uint32_t address, unsigned width, uint32_t value)
{
    const Slot* slot = decode(address, 'W', width);
    if (!slot)
        return;
    trace(slot, 'W', address, width, value);
    if (slot->chip_select != NO_CHIP_SELECT && !expansion_->writable(slot->chip_select))
        return;  // write enable off: the strobe never comes
    slot->device->write(address - slot->base, width, through_lanes(slot, address, width, value));
}

} // namespace korvasim
