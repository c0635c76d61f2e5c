#include "sim/board/flash_block.h"

#include "firmware/board_map.h"

namespace korvasim {

namespace {

// A narrower access sees the bytes of the big-endian register at its offset.
uint32_t part_of(uint32_t reg, uint32_t offset, unsigned width)
{
    if (width == 4)
        return reg;
    const unsigned shift = 8 * (4 - width - (offset & 3));
    return (reg >> shift) & ((1u << (8 * width)) - 1);
}

} // namespace

uint32_t FlashBlock::read(uint32_t offset, unsigned width)
{
    if ((offset & ~3u) != FLASH_CMD_STATUS)
        return 0;
    uint32_t reg = status_;
    if (faults_.never_ready) {
        reg = FLASH_STATUS_BUSY;
    } else if (busy_reads_left_ > 0) {
        --busy_reads_left_;
        reg = FLASH_STATUS_BUSY;
    }
    return part_of(reg, offset, width);
}

void FlashBlock::write(uint32_t offset, unsigned width, uint32_t value)
{
    if (width != 4)
        return;
    if (offset == FLASH_CONTROL) {
        armed_ = value == FLASH_CONTROL_QUERY;
        return;
    }
    if (offset != FLASH_CMD_STATUS)
        return;
    const uint32_t query = value >> 4;
    if (!armed_ || (value & 0xF) != FLASH_CMD_QUERY || query > 3) {
        status_ = 0;  // an unknown command leaves no answer
        armed_ = false;
        return;
    }
    armed_ = false;
    busy_reads_left_ = BUSY_READS;
    const uint8_t expected[3] = {FIELD_V, FIELD_S, FIELD_B};
    status_ = 0;
    for (int f = 0; f < 3; ++f) {
        const int forced = faults_.field[query][f];
        const uint32_t field = forced == FlashFaults::NO_OVERRIDE ? expected[f] : forced;
        status_ |= field << (8 + 8 * f);
    }
}

bool FlashBlock::defines(uint32_t offset, unsigned width, bool write) const
{
    return width == 4 && (offset == FLASH_CMD_STATUS || (offset == FLASH_CONTROL && write));
}

} // namespace korvasim
