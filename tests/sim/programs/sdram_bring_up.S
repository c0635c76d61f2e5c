/* Brings the SDRAM controller up as far as the parameter says (bit 0 the
 * power-up commands, bit 1 the normal-operation command, bit 2 refresh),
 * switches the map from the window, then stores at SDRAM 0 and 0x100.
 * r4: boot word seen at 0 before the switch; r5, r6: read back from SDRAM
 * 0 and 0x100; r7: read back from boot RAM through the window. */
#include "program.h"
    big_endian_core
    load_parameter r8
    mov     r4, #0
    ldr     r4, [r4]
    ldr     r2, =SDRAM_CTRL_BASE
    tst     r8, #1
    beq     normal
    .irp code, 3, 2, 7, 8, 4, 1, 2, 6, 6, 0
    mov     r1, #\code
    str     r1, [r2, #SDRAM_CMD]
    .endr
normal:
    tst     r8, #2
    movne   r1, #SDRAM_CMD_NORMAL
    strne   r1, [r2, #SDRAM_CMD]
    tst     r8, #4
    ldrne   r1, =SDRAM_REFRESH_VALUE
    strne   r1, [r2, #SDRAM_REFRESH]
    ldr     pc, =IMAGE_BASE + in_window
in_window:
    ldr     r0, =EXP_CNFG0
    ldr     r1, [r0]
    bic     r1, r1, #EXP_CNFG0_MEM_MAP
    str     r1, [r0]
    mov     r0, #0
    ldr     r1, =0x11223344
    str     r1, [r0]
    ldr     r1, =0xCAFEF00D
    str     r1, [r0, #0x100]
    ldr     r5, [r0]
    ldr     r6, [r0, #0x100]
    ldr     r0, =IMAGE_BASE
    ldr     r7, [r0]
    halt
