#include "firmware/flash_test.h"

#include "firmware/board_map.h"
#include "firmware/console.h"
#include "firmware/hardware.h"

namespace {

// Expected fields of every query's status word, and the code of a mismatch.
struct field {
    uint8_t letter;
    uint8_t shift;
    uint8_t expected;
    uint8_t code;
};

constexpr field fields[] = {
    {'V', 8, 0x01, 1},
    {'S', 16, 0x18, 2},
    {'B', 24, 0x01, 3},
};

} // namespace

uint32_t flash_test()
{
    uint32_t code = 0;
    for (uint32_t n = 0; n < 4; ++n) {
        mon_putc(static_cast<uint8_t>('0' + n));
        mon_newline();
        write32(FLASH_REG_BASE + FLASH_CONTROL, FLASH_CONTROL_QUERY);
        write32(FLASH_REG_BASE + FLASH_CMD_STATUS, FLASH_CMD_QUERY | n << 4);
        while (read32(FLASH_REG_BASE + FLASH_CMD_STATUS) & FLASH_STATUS_BUSY)
            board_tick();
        const uint32_t status = read32(FLASH_REG_BASE + FLASH_CMD_STATUS);
        for (const field& f : fields) {
            const uint32_t value = (status >> f.shift) & 0xFF;
            if (value != f.expected)
                code = f.code;
            mon_putc(f.letter);
            mon_puthex(value);
            mon_newline();
        }
    }
    return code;
}
