// The RAM the engine runs on, as host buffers by CPU address.
#ifndef KORVASIM_CORE_RAM_MAP_H
#define KORVASIM_CORE_RAM_MAP_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvasim {

struct RamRange {
    uint32_t address;
    size_t size;
    uint8_t* host;
};

class RamMap {
public:
    void add(const RamRange& range) { ranges_.push_back(range); }
    // Drops the ranges that start in [address, address + size).
    void remove(uint32_t address, size_t size)
    {
        code_ = {0, 0, nullptr};
        for (auto it = ranges_.begin(); it != ranges_.end();) {
            if (it->address >= address && it->address - address < size)
                it = ranges_.erase(it);
            else
                ++it;
        }
    }
    // The RAM behind address, or nullptr where there is none.
    uint8_t* host_of(uint32_t address) const
    {
        for (const RamRange& r : ranges_)
            if (address - r.address < r.size)
                return r.host + (address - r.address);
        return nullptr;
    }
    // The same for instruction fetches, which stay in one range for long:
    // the last range found is tried first.
    const uint8_t* code_at(uint32_t address)
    {
        if (address - code_.address >= code_.size)
            for (const RamRange& r : ranges_)
                if (address - r.address < r.size)
                    code_ = r;
        return address - code_.address < code_.size ? code_.host + (address - code_.address) : nullptr;
    }
    const std::vector<RamRange>& ranges() const { return ranges_; }

private:
    std::vector<RamRange> ranges_;
    RamRange code_{0, 0, nullptr};
};

} // namespace korvasim

#endif
