// Monitor command loop: prompt, one command byte, ':' and the result.
#include <stdint.h>

#include "console.h"
#include "flash_test.h"
#include "memtest.h"

extern "C" [[noreturn]] void monitor_main()
{
    bool verbose = false;
    uart_init();
    output_enabled = 1;
    pace_output = 0;
    for (;;) {
        uint32_t result = 0;
        mon_putc('?');
        // Quiet: the tests run in full but their report stays off the line.
        if (!verbose)
            output_enabled = 0;
        switch (mon_getc()) {
        case '1':
            result = sdram_test();
            break;
        case '2':
            result = flash_test();
            break;
        case '3':
            result = sram_test();
            break;
        case 's':
            pace_output = 1;
            break;
        case 'v':
            verbose = true;
            break;
        default:
            break;
        }
        output_enabled = 1;
        mon_putc(':');
        mon_puthex(result);
    }
}
