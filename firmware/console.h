// Monitor console: the board's UART, the output gate, line pacing and the
// tick that every polling wait makes.
#ifndef KORVA_CONSOLE_H
#define KORVA_CONSOLE_H

#include <stdint.h>

// The two words right after the image; placed by the linker script.
extern "C" volatile uint32_t output_enabled;
extern "C" volatile uint32_t pace_output;

// Sets the UART up as monitor_settings.h says (115200 baud 8N1, FIFOs on
// and emptied, no interrupts), with DTR and RTS on.
void uart_init();
// Waits for a received byte, ticking at each poll that finds none.
uint8_t mon_getc();
// While output_enabled: waits for room in the transmitter, ticking, and
// sends c. Otherwise does nothing and makes no tick.
void mon_putc(uint8_t c);
// "\r\n"; then, while pacing and output are on, the pacing delay.
void mon_newline();
// value in lower-case hex without leading zeros ("0" for zero).
void mon_puthex(uint32_t value);
// One write of 0 to BOARD_TICK_REG: the mark of one unmet poll.
void board_tick();

#endif
