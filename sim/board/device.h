// A device on the board's buses, seen through its register or memory offsets.
#ifndef KORVASIM_DEVICE_H
#define KORVASIM_DEVICE_H

#include <cstdint>
#include <map>
#include <set>

namespace korvasim {

class Device {
public:
    virtual ~Device() = default;
    // offset from the device's base; width 1, 2 or 4 bytes; values in the
    // CPU's byte order, in the low bits.
    virtual uint32_t read(uint32_t offset, unsigned width) = 0;
    virtual void write(uint32_t offset, unsigned width, uint32_t value) = 0;
    // Whether the device defines a register at offset that takes an access
    // of this width and direction. Memories take every access.
    virtual bool defines(uint32_t /*offset*/, unsigned /*width*/, bool /*write*/) const
    {
        return true;
    }
    // A debugger's access: what a read would give, or a write as the CPU's,
    // where that changes nothing else in the device. False where it would
    // (registers: a read may pop a FIFO or count a poll).
    virtual bool peek(uint32_t /*offset*/, unsigned /*width*/, uint32_t* /*value*/)
    {
        return false;
    }
    virtual bool poke(uint32_t /*offset*/, unsigned /*width*/, uint32_t /*value*/)
    {
        return false;
    }
};

// 32-bit registers that hold what they are given, with reset values. With a
// list of offsets only those are registers, taking word accesses alone.
class RegisterFile : public Device {
public:
    explicit RegisterFile(std::map<uint32_t, uint32_t> reset_values = {},
                          std::set<uint32_t> registers = {})
        : values_(std::move(reset_values)), registers_(std::move(registers))
    {
    }

    bool defines(uint32_t offset, unsigned width, bool) const override
    {
        return registers_.empty() || (width == 4 && registers_.count(offset) > 0);
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
    // Every register's value, and the same put back without a write's
    // effects (a board started again from a saved state).
    const std::map<uint32_t, uint32_t>& values() const { return values_; }
    void restore_values(const std::map<uint32_t, uint32_t>& values) { values_ = values; }

protected:
    virtual void written(uint32_t, uint32_t) {}

private:
    std::map<uint32_t, uint32_t> values_;
    std::set<uint32_t> registers_;
};

} // namespace korvasim

#endif
