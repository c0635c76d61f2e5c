// Monitor command loop: prompt, one command byte, ':' and the result.
#include <stdint.h>

#include "firmware/console.h"
#include "firmware/flash_test.h"
#include "firmware/memtest.h"
#include "firmware/monitor_protocol.h"

extern "C" [[noreturn]] void monitor_main()
{
    bool verbose = false;
    uart_init();
    output_enabled = 1;
    pace_output = 0;
    for (;;) {
        uint32_t result = 0;
        mon_putc(BOARD_PROMPT);
        // Quiet: the tests run in full but their report stays off the line.
        if (!verbose)
            output_enabled = 0;
        switch (mon_getc()) {
        case COMMAND_SDRAM_TEST:
            result = sdram_test();
            break;
        case COMMAND_FLASH_TEST:
            result = flash_test();
            break;
        case COMMAND_SRAM_TEST:
            result = sram_test();
            break;
        case COMMAND_PACED:
            pace_output = 1;
            break;
        case COMMAND_VERBOSE:
            verbose = true;
            break;
        default:
            break;
        }
        output_enabled = 1;
        mon_putc(BOARD_END_OF_TEXT);
        mon_puthex(result);
    }
}
