// The address decoder between the CPU's I/O ranges and the devices: finds
// the device at an address, checks its chip select window, and traces
// accesses to device registers.
#ifndef KORVASIM_BUS_H
#define KORVASIM_BUS_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/core/cpu.h"
#include "sim/board/device.h"

namespace korvasim {

class ExpansionBus;

struct TraceRecord {
    uint64_t instruction;  // instructions executed since reset
    char kind;             // 'R' or 'W'
    uint32_t address;
    unsigned width;
    uint32_t value;
};

std::string format_trace(const TraceRecord& record);

class Bus : public IoHandler {
public:
    static constexpr int NO_CHIP_SELECT = -1;

    // on_fault is told about an access that no device answers; on_undefined
    // about one that a device answers but has no such register for.
    Bus(const ExpansionBus* expansion, std::function<void(const std::string&)> on_fault,
        std::function<void(char kind, uint32_t address, unsigned width)> on_undefined = nullptr);

    // One device's place on the bus. Devices behind a chip select answer
    // only inside its set-up window (EXP_WINDOW_BASE + chip_select x
    // EXP_WINDOW_STRIDE), take writes only while its write enable is on, and
    // see their data right only while its data bus width is theirs
    // (data_bits, 8 or 16).
    struct Region {
        uint32_t base;
        uint32_t size;
        Device* device;
        bool traced;
        int chip_select;
        unsigned data_bits;
        bool touched = false;  // the device was accessed (see touched())
    };

    void attach(const Region& region);

    // Traced accesses go to sink, counted with instructions().
    void trace_to(std::function<void(const TraceRecord&)> sink, const Cpu* cpu);

    uint32_t io_read(uint32_t address, unsigned width) override;
    void io_write(uint32_t address, unsigned width, uint32_t value) override;

    // A debugger's byte, as the CPU would see it, from a device that can
    // give it without a side effect: false elsewhere. Nothing is traced,
    // counted or faulted.
    bool peek(uint32_t address, uint8_t* byte) const;
    bool poke(uint32_t address, uint8_t byte) const;

    // Whether the CPU accessed device since the board was made: what a
    // fault in it could have changed.
    bool touched(const Device* device) const;

private:
    // The region that answers at address as the bus is set up now.
    const Region* quiet_decode(uint32_t address) const;

    uint32_t through_lanes(const Region* region, uint32_t address, unsigned width, uint32_t value) const;

    const Region* decode(uint32_t address, char kind, unsigned width);
    void trace(const Region* region, char kind, uint32_t address, unsigned width, uint32_t value);

    const ExpansionBus* expansion_;
    std::function<void(const std::string&)> on_fault_;
    std::function<void(char, uint32_t, unsigned)> on_undefined_;
    std::vector<Region> regions_;
    std::function<void(const TraceRecord&)> trace_sink_;
    const Cpu* cpu_ = nullptr;
};

} // namespace korvasim

#endif
