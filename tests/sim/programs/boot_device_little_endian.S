/* The core as reset leaves it, little-endian for data: stores 0x11223344 to
 * the boot RAM at offset 0x800, programs chip select 0 with the parameter
 * word, stores the byte 0xAA there (its lane is the word's last byte) and
 * reads the word back into r4. */
#include "tests/sim/programs/program.h"
    ldr     r2, =IMAGE_BASE + 0x800
    ldr     r1, =0x11223344
    str     r1, [r2]
    load_parameter r1
    ldr     r0, =EXP_CFG_BASE
    str     r1, [r0, #EXP_TIMING_CS0]
    mov     r1, #0xAA
    strb    r1, [r2]
    ldr     r4, [r2]
    halt
