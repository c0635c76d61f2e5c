// A device on the board's buses, seen through its register or memory offsets.
#ifndef KORVASIM_DEVICE_H
#define KORVASIM_DEVICE_H

#include <cstdint>
#include <map>

namespace korvasim {

class Device {
public:
    virtual ~Device() = default;
    // offset from the device's base; width 1, 2 or 4 bytes; values in the
    // CPU's byte order, in the low bits.
    virtual uint32_t read(uint32_t offset, unsigned width) = 0;
    virtual void write(uint32_t offset, unsigned width, uint32_t value) = 0;
};

// 32-bit registers that hold what they are given, with reset values.
class RegisterFile : public Device {
public:
    explicit RegisterFile(std::map<uint32_t, uint32_t> reset_values = {})
        : values_(std::move(reset_values))
    {
    }

    uint32_t read(uint32_t offset, unsigned) override { return value(offset); }
    void write(uint32_t offset, unsigned, uint32_t v) override
    {
        values_[offset] = v;
        written(offset, v);
    }

    uint32_t value(uint32_t offset) const
    {
        auto it = values_.find(offset);
        return it == values_.end() ? 0 : it->second;
    }

protected:
    virtual void written(uint32_t, uint32_t) {}

private:
    std::map<uint32_t, uint32_t> values_;
};

} // namespace korvasim

#endif
