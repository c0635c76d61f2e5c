#include "sim/board/memory.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace korvasim {

Memory::Memory(uint32_t size, unsigned bus_bytes, MemoryFaults faults,
               std::function<bool()> holds_data)
    : size_(size), bus_bytes_(bus_bytes), faults_(std::move(faults)),
      holds_data_(std::move(holds_data)), cells_(static_cast<uint8_t*>(calloc(size, 1)))
{
    if (!cells_)
        throw std::bad_alloc();
    written_.resize((size_ + PAGE - 1) / PAGE);
    changed_.resize((size_ + PAGE - 1) / PAGE);
}

void Memory::lose_contents()
{
    cells_.reset(static_cast<uint8_t*>(calloc(size_, 1)));
    if (!cells_)
        throw std::bad_alloc();
    written_.clear();
    lost_ = true;
}

Memory::State Memory::save()
{
    State state;
    state.slot.assign((size_ + PAGE - 1) / PAGE, -1);
    for (uint32_t page : written_.list()) {
        const uint32_t begin = page * PAGE, end = std::min(size_, begin + PAGE);
        state.slot[page] = static_cast<int32_t>(state.pages.size());
        state.pages.push_back(page);
        state.bytes.insert(state.bytes.end(), cells_.get() + begin, cells_.get() + end);
    }
    state.last_driven = last_driven_;
    changed_.clear();
    lost_ = false;
    return state;
}

void Memory::restore(const State& state)
{
    // A page not saved held zeros then: it had not been written.
    const auto put_back = [&](uint32_t page) {
        const uint32_t begin = page * PAGE, length = std::min(size_, begin + PAGE) - begin;
        if (state.slot[page] < 0)
            memset(cells_.get() + begin, 0, length);
        else
            memcpy(cells_.get() + begin, state.bytes.data() + size_t(state.slot[page]) * PAGE, length);
    };
    if (lost_) {
        lose_contents();
        for (uint32_t page : state.pages) {
            put_back(page);
            written_.add(page);
        }
    } else {
        for (uint32_t page : changed_.list())
            put_back(page);
    }
    changed_.clear();
    lost_ = false;
    last_driven_ = state.last_driven;
}

// Bus words are big-endian: the lowest address is the most significant lane.
uint32_t Memory::bus_read(uint32_t word_offset)
{
    if (faults_.absent)
        return last_driven_;
    if (holds_data_ && !holds_data_())
        return 0xFFFFFFFF;
    const uint32_t at = faults_.on_address(word_offset) & (size_ - 1);
    uint32_t value = 0;
    for (unsigned i = 0; i < bus_bytes_; ++i)
        value = value << 8 | cells_.get()[at + i];
    if (read_observer_)
        read_observer_(at, value);
    return faults_.on_data(faults_.on_cell(at, value));
}

void Memory::bus_write(uint32_t word_offset, uint32_t value, uint32_t lanes)
{
    const uint32_t driven = faults_.on_data(value);
    last_driven_ = (last_driven_ & ~lanes) | (driven & lanes);
    if (faults_.absent || (holds_data_ && !holds_data_()))
        return;
    const uint32_t at = faults_.on_address(word_offset) & (size_ - 1);
    for (unsigned i = 0; i < bus_bytes_; ++i) {
        const unsigned shift = 8 * (bus_bytes_ - 1 - i);
        if ((lanes >> shift) & 0xFF)
            cells_.get()[at + i] = static_cast<uint8_t>(driven >> shift);
    }
    written(at);
    for (const CouplingFault& c : faults_.couplings) {
        if (c.aggressor != at || !((lanes >> c.aggressor_bit) & 1) || ((driven >> c.aggressor_bit) & 1) != c.written)
            continue;
        // Bit b of a bus word lives in the byte that carries it: big-endian lanes.
        uint8_t& victim = cells_.get()[c.victim + bus_bytes_ - 1 - c.victim_bit / 8];
        written(c.victim);
        const uint8_t bit = static_cast<uint8_t>(1u << (c.victim_bit % 8));
        victim = c.forced ? victim | bit : victim & ~bit;
    }
}

uint32_t Memory::read(uint32_t offset, unsigned width)
{
    uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i) {
        const uint32_t byte = (offset + i) & (size_ - 1);
        const uint32_t lane = byte & (bus_bytes_ - 1);
        const uint32_t word = bus_read(byte - lane);
        value = value << 8 | ((word >> (8 * (bus_bytes_ - 1 - lane))) & 0xFF);
    }
    return value;
}

void Memory::write(uint32_t offset, unsigned width, uint32_t value)
{
    // Collect the bytes of each bus word into one bus cycle.
    uint32_t word_offset = 0, bus_value = 0, lanes = 0;
    bool pending = false;
    for (unsigned i = 0; i < width; ++i) {
        const uint32_t byte = (offset + i) & (size_ - 1);
        const uint32_t lane = byte & (bus_bytes_ - 1);
        if (pending && byte - lane != word_offset) {
            bus_write(word_offset, bus_value, lanes);
            bus_value = lanes = 0;
        }
        word_offset = byte - lane;
        pending = true;
        const unsigned shift = 8 * (bus_bytes_ - 1 - lane);
        bus_value |= ((value >> (8 * (width - 1 - i))) & 0xFF) << shift;
        lanes |= 0xFFu << shift;
    }
    if (pending)
        bus_write(word_offset, bus_value, lanes);
}

} // namespace korvasim
