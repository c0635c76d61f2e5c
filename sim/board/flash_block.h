// The flash register block on chip select 1: the control value 7 then a
// query command word starts query n; the status reads busy for a few reads,
// then carries the V, S and B fields.
#ifndef KORVASIM_FLASH_BLOCK_H
#define KORVASIM_FLASH_BLOCK_H

#include "sim/board/device.h"
#include "sim/board/faults.h"

namespace korvasim {

class FlashBlock : public Device {
public:
    static constexpr int BUSY_READS = 3;
    static constexpr uint8_t FIELD_V = 0x01, FIELD_S = 0x18, FIELD_B = 0x01;

    explicit FlashBlock(FlashFaults faults) : faults_(faults) {}

    uint32_t read(uint32_t offset, unsigned width) override;
    void write(uint32_t offset, unsigned width, uint32_t value) override;
    // The command/status word and the write-only control word.
    bool defines(uint32_t offset, unsigned width, bool write) const override;

    void set_faults(FlashFaults faults) { faults_ = faults; }
    // The command in progress, for a board started again from a saved state.
    struct State {
        bool armed;
        int busy_reads_left;
        uint32_t status;
    };
    State save() const { return {armed_, busy_reads_left_, status_}; }
    void restore(const State& s)
    {
        armed_ = s.armed;
        busy_reads_left_ = s.busy_reads_left;
        status_ = s.status;
    }

private:
    FlashFaults faults_;
    bool armed_ = false;
    int busy_reads_left_ = 0;
    uint32_t status_ = 0;
};

} // namespace korvasim

#endif
