#include "sim/core/be32_lanes.h"

#include <algorithm>

#include "firmware/board_map.h"
#include "sim/core/engine.h"

namespace korvasim {

namespace {
// Unconditional MCR/MRC p15, 0, Rd, c1, c0, 0: the control register.
const uint32_t CP15_CONTROL_MASK = 0xFFFF0FFF;
const uint32_t MCR_CP15_CONTROL = 0xEE010F10;
const uint32_t MRC_CP15_CONTROL = 0xEE110F10;
} // namespace

void Be32Lanes::before_instruction(const uint8_t* code)
{
    // The transfer before this one is through: give its register the core's
    // view of bit 7 back.
    if (cp15_register_ >= 0) {
        uint32_t value = cp15_register_value_;
        if (!cp15_restore_) {
            value = read_register(uc_, cp15_register_) & ~CP15_CTRL_BIG_ENDIAN;
            if (big_endian_)
                value |= CP15_CTRL_BIG_ENDIAN;
        }
        write_register(uc_, cp15_register_, value);
        cp15_register_ = -1;
    }
    if (!code)
        return;
    const uint32_t word = uint32_t(code[0]) << 24 | code[1] << 16 | code[2] << 8 | code[3];
    const int rd = (word >> 12) & 0xF;
    if ((word & CP15_CONTROL_MASK) == MCR_CP15_CONTROL && rd != 15) {
        const uint32_t value = read_register(uc_, rd);
        big_endian_ = value & CP15_CTRL_BIG_ENDIAN;
        cp15_register_ = rd;
        cp15_register_value_ = value;
        cp15_restore_ = true;
        write_register(uc_, rd, value | CP15_CTRL_BIG_ENDIAN);
    } else if ((word & CP15_CONTROL_MASK) == MRC_CP15_CONTROL && rd != 15) {
        cp15_register_ = rd;
        cp15_restore_ = false;
    }
}

void Be32Lanes::before_ram_access(bool write, uint32_t address, uint32_t bus, unsigned width)
{
    if (bus == address)
        return;
    uint8_t* at = ram_.host_of(address);
    if (!write) {
        uint8_t* at_bus = ram_.host_of(bus);
        for (unsigned i = 0; i < width; ++i)
            std::swap(at[i], at_bus[i]);
        swapped_at_ = address;
        swapped_width_ = width;
    } else {
        PendingStore store{address, bus, width, {}};
        std::copy(at, at + width, store.at_engine);
        pending_.push_back(store);
    }
}

void Be32Lanes::settle_moved()
{
    if (swapped_width_) {
        uint8_t* at = ram_.host_of(swapped_at_);
        uint8_t* other = ram_.host_of(swapped_at_ ^ (4 - swapped_width_));
        if (at && other)
            for (unsigned i = 0; i < swapped_width_; ++i)
                std::swap(at[i], other[i]);
        swapped_width_ = 0;
    }
    for (const PendingStore& store : pending_) {
        uint8_t* at = ram_.host_of(store.engine_address);
        uint8_t* at_bus = ram_.host_of(store.bus_address);
        if (!at || !at_bus)
            continue;
        std::copy(at, at + store.width, at_bus);
        std::copy(store.at_engine, store.at_engine + store.width, at);
    }
    pending_.clear();
}

} // namespace korvasim
