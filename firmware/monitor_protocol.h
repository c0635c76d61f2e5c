/*
 * The monitor's side of the serial line, as the host, the simulator's tools
 * and the tests see it: the bytes it sends and the commands it takes. Plain
 * #defines: the freestanding firmware includes it as well as C++ code.
 */
#ifndef KORVA_MONITOR_PROTOCOL_H
#define KORVA_MONITOR_PROTOCOL_H

/* Marker bytes sent by the monitor. */
#define BOARD_PROMPT        '?'   /* ready for a command */
#define BOARD_END_OF_TEXT   ':'   /* the result digit follows */
#define BOARD_PASSED        '0'   /* result digit of a test that passed */

/* Command bytes sent by the host. */
#define COMMAND_SDRAM_TEST  '1'
#define COMMAND_FLASH_TEST  '2'
#define COMMAND_SRAM_TEST   '3'
#define COMMAND_PACED       's'   /* pace verbose reports */
#define COMMAND_VERBOSE     'v'   /* reports on */

#endif
