/* Accesses that no register takes, each once, then a defined one:
 * a word write to the byte-wide tick register, a halfword read of the UART,
 * a write to its line status register, a byte read of the flash block, a
 * read of an interface block offset with no register, and a read where no
 * device answers in the boot device's window. Then a defined byte write of
 * the tick register, twice the word write again (told about once). */
#include "tests/sim/programs/program.h"
    big_endian_core
    poke    EXP_CFG_BASE + EXP_TIMING_CS1, EXP_TIMING_CS1_VALUE
    ldr     r2, =BOARD_TICK_REG
    mov     r1, #0
    str     r1, [r2]
    ldr     r3, =UART_BASE
    ldrh    r4, [r3]
    strb    r1, [r3, #UART_LSR]
    ldr     r3, =FLASH_REG_BASE
    ldrb    r5, [r3]
    ldr     r3, =SDRAM_IF_BASE
    ldr     r6, [r3, #0x08]
    ldr     r3, =UART_BASE + 0x800
    ldr     r7, [r3]
    strb    r1, [r2]
    str     r1, [r2]
    str     r1, [r2]
    halt
