/* Loads from an address where nothing is mapped. */
#include "tests/sim/programs/program.h"
    big_endian_core
    ldr     r0, =0x30000000
    ldr     r1, [r0]
    halt
