// Monitor console: the board's UART, the output gate, line pacing and the
// tick that every polling wait makes.
#ifndef KORVA_CONSOLE_H
#define KORVA_CONSOLE_H

#include <stdint.h>

// The two words right after the image; placed by the linker script.
extern "C" volatile uint32_t output_enabled;
extern "C" volatile uint32_t pace_output;

void uart_init();
uint8_t mon_getc();
void mon_putc(uint8_t c);
void mon_newline();
void mon_puthex(uint32_t value);
void board_tick();

#endif
