/*
 * The monitor's own choices for the Korva board: stack, UART divisor,
 * chip-select words, SDRAM controller values and output pacing. Only the
 * firmware (and the tests that check it) include this; the simulator models
 * the hardware from board_map.h alone.
 */
#ifndef KORVA_MONITOR_SETTINGS_H
#define KORVA_MONITOR_SETTINGS_H

#include "firmware/board_map.h"

/* Full descending stack; the word at STACK_TOP itself is never written. */
#define STACK_TOP           0x50000FFC

/* The UART: divisor 7 gives 115200 baud from the board's UART clock; 8N1;
 * FIFOs on and emptied, receive trigger at 8 bytes; no interrupts. Each can
 * be given on the compiler's command line to build a variant image. */
#ifndef UART_DIVISOR
#define UART_DIVISOR        7
#endif
#ifndef MONITOR_LCR
#define MONITOR_LCR         UART_LCR_8N1
#endif
#ifndef MONITOR_FCR
#define MONITOR_FCR         (UART_FCR_ENABLE | UART_FCR_CLEAR_RX | UART_FCR_CLEAR_TX | UART_FCR_TRIGGER_8)
#endif
#ifndef MONITOR_IER
#define MONITOR_IER         0
#endif

/* Chip selects: bit 31 enable, bits 25-22 strobe time T3, bits 13-10 size
 * (512 << n), bit 1 write enable, bit 0 data bus (1 = 8-bit). */
#define EXP_TIMING_CS0_VALUE  0x80401003  /* T3 1, 8 KB, writable, 8-bit */
#define EXP_TIMING_CS1_VALUE  0x80801002  /* T3 2, 8 KB, writable, 16-bit */
#define EXP_TIMING_CS2_VALUE  0x80402403  /* T3 1, 256 KB, writable, 8-bit */

/* SDRAM controller values of the power-up sequence. */
#define SDRAM_CONFIG0_VALUE   0x72221212
#define SDRAM_CONFIG0_READY   0x00000020  /* added once the commands ran */
#define SDRAM_CONFIG1_VALUE   0x5760E4A6
#define SDRAM_SETUP_VALUE     0x80000002
#ifndef SDRAM_REFRESH_VALUE
#define SDRAM_REFRESH_VALUE   0x610
#endif

/* Delay-loop passes after each SDRAM power-up command; the short one follows
 * each of the two code-6 commands. Given on the compiler's command line to
 * build a variant image. */
#ifndef SDRAM_COMMAND_WAIT
#define SDRAM_COMMAND_WAIT    0x10000
#endif
#ifndef SDRAM_SHORT_WAIT
#define SDRAM_SHORT_WAIT      0x800
#endif

/* CP15 control: bits 3-7 set (7: big-endian), all else off. */
#define CP15_CTRL_INIT      0xF8

/* Passes of the in-memory counter after each paced line end. */
#define PACE_DELAY_COUNT    0x30D40

#endif
