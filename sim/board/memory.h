// A memory chip behind a data bus of one or four bytes, with line faults.
#ifndef KORVASIM_MEMORY_H
#define KORVASIM_MEMORY_H

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

#include "sim/board/device.h"
#include "sim/board/faults.h"

namespace korvasim {

class Memory : public Device {
public:
    // size is a power of two; offsets wrap within it. bus_bytes is 1 or 4.
    // holds_data, when given, says whether the chip keeps what is written;
    // while it does not, writes are lost and reads see all ones.
    Memory(uint32_t size, unsigned bus_bytes, MemoryFaults faults,
           std::function<bool()> holds_data = nullptr);

    uint32_t read(uint32_t offset, unsigned width) override;
    void write(uint32_t offset, unsigned width, uint32_t value) override;
    bool peek(uint32_t offset, unsigned width, uint32_t* value) override
    {
        *value = read(offset, width);
        return true;
    }
    bool poke(uint32_t offset, unsigned width, uint32_t value) override
    {
        write(offset, width, value);
        return true;
    }

    // Every cell back to 0, as a chip left without power or refresh.
    void lose_contents();

    // The faults from now on (a board started again from a saved state).
    void set_faults(MemoryFaults faults) { faults_ = std::move(faults); }

    // What the chip holds, as the pages written since it last held zeros
    // (a chip of 64 MiB is saved and put back by the pages a run wrote).
    struct State {
        std::vector<uint32_t> pages;
        std::vector<uint8_t> bytes;
        std::vector<int32_t> slot;  // by page: its index in pages, or -1
        uint32_t last_driven;
    };
    State save();
    void restore(const State& state);

    // Tells observer each bus word read from the cells, at its byte offset,
    // as the cells hold it (for working out which cell faults a run sees).
    void observe_reads(std::function<void(uint32_t offset, uint32_t value)> observer)
    {
        read_observer_ = std::move(observer);
    }

    // The cells themselves, bypassing the bus and its faults.
    uint8_t* cells() { return cells_.get(); }
    uint32_t size() const { return size_; }

private:
    struct Free {
        void operator()(uint8_t* p) const { free(p); }
    };

    static constexpr uint32_t PAGE = 4096;

    // Pages by number, each listed once.
    class PageSet {
    public:
        void resize(size_t pages) { member_.assign(pages, 0); }
        void add(uint32_t page)
        {
            if (!member_[page]) {
                member_[page] = 1;
                list_.push_back(page);
            }
        }
        void clear()
        {
            for (uint32_t p : list_)
                member_[p] = 0;
            list_.clear();
        }
        const std::vector<uint32_t>& list() const { return list_; }

    private:
        std::vector<uint8_t> member_;
        std::vector<uint32_t> list_;
    };

    void written(uint32_t offset)
    {
        written_.add(offset / PAGE);
        changed_.add(offset / PAGE);
    }
    uint32_t bus_read(uint32_t word_offset);
    void bus_write(uint32_t word_offset, uint32_t value, uint32_t lanes);

    uint32_t size_;
    unsigned bus_bytes_;
    MemoryFaults faults_;
    std::function<bool()> holds_data_;
    // calloc: a 64 MiB chip costs only the pages that are touched.
    std::unique_ptr<uint8_t, Free> cells_;
    uint32_t last_driven_ = 0;
    // Pages written since the cells last were all zero, and since the last
    // save or restore; whether the cells were lost since then.
    PageSet written_, changed_;
    bool lost_ = false;
    std::function<void(uint32_t, uint32_t)> read_observer_;
};

} // namespace korvasim

#endif
