/* Parameter bit 0: set up chip selects 1 and 2; bit 1: read the SRAM one
 * byte past its 256 KB window; bit 2: read the flash status. Writes 0xA5
 * to SRAM offset 0x123 and reads it back into r4. */
#include "tests/sim/programs/program.h"
    big_endian_core
    load_parameter r8
    tst     r8, #1
    beq     access
    poke    EXP_CFG_BASE + EXP_TIMING_CS1, EXP_TIMING_CS1_VALUE
    poke    EXP_CFG_BASE + EXP_TIMING_CS2, EXP_TIMING_CS2_VALUE
access:
    ldr     r2, =SRAM_BASE
    mov     r1, #0xA5
    strb    r1, [r2, #0x123]
    ldrb    r4, [r2, #0x123]
    tst     r8, #2
    ldrne   r3, =SRAM_BASE + SRAM_SIZE
    ldrbne  r5, [r3]
    tst     r8, #4
    ldrne   r3, =FLASH_REG_BASE
    ldrne   r6, [r3]
    halt
