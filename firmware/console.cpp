#include "firmware/console.h"

#include "firmware/monitor_settings.h"
#include "firmware/hardware.h"

void board_tick()
{
    write8(BOARD_TICK_REG, 0);
}

void uart_init()
{
    write8(UART_BASE + UART_IER, MONITOR_IER);
    write8(UART_BASE + UART_LCR, UART_LCR_DLAB);
    write8(UART_BASE + UART_DLL, UART_DIVISOR & 0xFF);
    write8(UART_BASE + UART_DLM, UART_DIVISOR >> 8);
    write8(UART_BASE + UART_LCR, MONITOR_LCR);
    write8(UART_BASE + UART_FCR, MONITOR_FCR);
    write8(UART_BASE + UART_MCR, UART_MCR_DTR | UART_MCR_RTS);
}

uint8_t mon_getc()
{
    while (!(read8(UART_BASE + UART_LSR) & UART_LSR_DR))
        board_tick();
    return read8(UART_BASE + UART_RBR);
}

void mon_putc(uint8_t c)
{
    if (output_enabled == 0)
        return;
    while (!(read8(UART_BASE + UART_LSR) & UART_LSR_THRE))
        board_tick();
    write8(UART_BASE + UART_THR, c);
}

void mon_newline()
{
    mon_putc('\r');
    mon_putc('\n');
    if (output_enabled != 0 && pace_output != 0) {
        // A real load and store every pass, so the delay stays in the code.
        volatile uint32_t passes = 0;
        while (passes != PACE_DELAY_COUNT)
            passes = passes + 1;
    }
}

void mon_puthex(uint32_t value)
{
    uint8_t digits[8];
    int count = 0;
    do {
        uint32_t d = value & 0xF;
        digits[count++] = static_cast<uint8_t>(d < 10 ? '0' + d : 'a' + d - 10);
        value >>= 4;
    } while (value != 0);
    while (count > 0)
        mon_putc(digits[--count]);
}
