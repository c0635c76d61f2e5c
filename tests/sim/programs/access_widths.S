/* Word, halfword and byte stores and loads through an I/O window (the SRAM)
 * and a word store to a traced register. r4-r6: loads of the three widths;
 * r7: the word read back as bytes, first byte. */
#include "tests/sim/programs/program.h"
    big_endian_core
    poke    EXP_CFG_BASE + EXP_TIMING_CS2, EXP_TIMING_CS2_VALUE
    ldr     r2, =SRAM_BASE
    ldr     r1, =0x11223344
    str     r1, [r2]
    ldr     r1, =0x5566
    strh    r1, [r2, #4]
    mov     r1, #0x77
    strb    r1, [r2, #6]
    ldr     r4, [r2]
    ldrh    r5, [r2, #4]
    ldrb    r6, [r2, #6]
    ldrb    r7, [r2]
    poke    SDRAM_CTRL_BASE + SDRAM_CONFIG1, SDRAM_CONFIG1_VALUE
    ldr     r0, =SDRAM_CTRL_BASE
    ldr     r8, [r0, #SDRAM_CONFIG1]
    halt
