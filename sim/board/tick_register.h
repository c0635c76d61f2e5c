// The board's tick register: one write-only byte; the simulator counts the
// writes.
#ifndef KORVASIM_TICK_REGISTER_H
#define KORVASIM_TICK_REGISTER_H

#include <atomic>

#include "sim/board/device.h"

namespace korvasim {

class TickRegister : public Device {
public:
    uint32_t read(uint32_t, unsigned) override { return 0; }
    void write(uint32_t, unsigned, uint32_t) override { ++writes_; }
    bool defines(uint32_t offset, unsigned width, bool write) const override
    {
        return offset == 0 && width == 1 && write;
    }
    uint64_t writes() const { return writes_; }
    void restore(uint64_t writes) { writes_ = writes; }

private:
    std::atomic<uint64_t> writes_{0};
};

} // namespace korvasim

#endif
