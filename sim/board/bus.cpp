#include "sim/board/bus.h"

#include <cstdio>

#include "firmware/board_map.h"
#include "sim/board/board_registers.h"

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

void Bus::attach(const Region& region)
{
    regions_.push_back(region);
}

uint32_t Bus::through_lanes(const Region* region, uint32_t address, unsigned width, uint32_t value) const
{
    // A chip select set to another data bus width than its device's puts
    // the bytes of even addresses on lanes the device is not wired to (and
    // an 8-bit bus drives only the lanes a 16-bit device takes odd bytes
    // on): those bytes float high, both ways.
    if (region->chip_select == NO_CHIP_SELECT ||
        expansion_->data_bits(region->chip_select) == region->data_bits)
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

const Bus::Region* Bus::decode(uint32_t address, char kind, unsigned width)
{
    for (Region& region : regions_) {
        if (address - region.base >= region.size)
            continue;
        if (region.chip_select != NO_CHIP_SELECT &&
            !expansion_->decodes(region.chip_select,
                                 address - EXP_WINDOW_BASE - region.chip_select * EXP_WINDOW_STRIDE)) {
            char text[120];
            snprintf(text, sizeof text,
                     "bus error: %s at 0x%08x, outside the set-up window of chip select %d",
                     kind == 'R' ? "read" : "write", address, region.chip_select);
            on_fault_(text);
            return nullptr;
        }
        // Never silently ignored: the access is counted and told about.
        if (!region.device->defines(address - region.base, width, kind == 'W')) {
            if (on_undefined_)
                on_undefined_(kind, address, width);
            return nullptr;
        }
        region.touched = true;
        return &region;
    }
    // No device at all here: reads see 0, and the access is told about.
    if (on_undefined_)
        on_undefined_(kind, address, width);
    return nullptr;
}

bool Bus::touched(const Device* device) const
{
    for (const Region& region : regions_)
        if (region.device == device && region.touched)
            return true;
    return false;
}

void Bus::trace(const Region* region, char kind, uint32_t address, unsigned width, uint32_t value)
{
    if (region->traced && trace_sink_)
        trace_sink_({cpu_->instructions(), kind, address, width, value});
}

uint32_t Bus::io_read(uint32_t address, unsigned width)
{
    const Region* region = decode(address, 'R', width);
    if (!region)
        return 0;
    const uint32_t value =
        through_lanes(region, address, width, region->device->read(address - region->base, width));
    trace(region, 'R', address, width, value);
    return value;
}

const Bus::Region* Bus::quiet_decode(uint32_t address) const
{
    for (const Region& region : regions_) {
        if (address - region.base >= region.size)
            continue;
        if (region.chip_select != NO_CHIP_SELECT &&
            !expansion_->decodes(region.chip_select,
                                 address - EXP_WINDOW_BASE - region.chip_select * EXP_WINDOW_STRIDE))
            return nullptr;
        return &region;
    }
    return nullptr;
}

bool Bus::peek(uint32_t address, uint8_t* byte) const
{
    const Region* region = quiet_decode(address);
    uint32_t value = 0;
    if (!region || !region->device->peek(address - region->base, 1, &value))
        return false;
    *byte = static_cast<uint8_t>(through_lanes(region, address, 1, value));
    return true;
}

bool Bus::poke(uint32_t address, uint8_t byte) const
{
    const Region* region = quiet_decode(address);
    if (!region || (region->chip_select != NO_CHIP_SELECT && !expansion_->writable(region->chip_select)))
        return false;
    return region->device->poke(address - region->base, 1, through_lanes(region, address, 1, byte));
}

void Bus::io_write(uint32_t address, unsigned width, uint32_t value)
{
    const Region* region = decode(address, 'W', width);
    if (!region)
        return;
    trace(region, 'W', address, width, value);
    if (region->chip_select != NO_CHIP_SELECT && !expansion_->writable(region->chip_select))
        return;  // write enable off: the strobe never comes
    region->device->write(address - region->base, width, through_lanes(region, address, width, value));
}

} // namespace korvasim
