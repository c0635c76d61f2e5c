/* Runs with the core as reset leaves it, little-endian for data, then sets
 * it big-endian. A boot RAM word and an SRAM word hold 0x11223344 and
 * 0x55667788. r4, r5: byte and halfword at the RAM word's address; r6: the
 * RAM word after a byte store of 0xAA there; r7: byte at the SRAM word;
 * r8, r9: the same two bytes once big-endian. */
#include "tests/sim/programs/program.h"
    ldr     r2, =0x800
    ldr     r1, =0x11223344
    str     r1, [r2]
    ldrb    r4, [r2]
    ldrh    r5, [r2]
    mov     r1, #0xAA
    strb    r1, [r2]
    ldr     r6, [r2]
    poke    EXP_CFG_BASE + EXP_TIMING_CS2, EXP_TIMING_CS2_VALUE
    ldr     r3, =SRAM_BASE
    ldr     r1, =0x55667788
    str     r1, [r3]
    ldrb    r7, [r3]
    big_endian_core
    ldrb    r8, [r2]
    ldrb    r9, [r3]
    halt
