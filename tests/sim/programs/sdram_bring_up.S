/* Brings the SDRAM controller up as far as the parameter says, switches the
 * map from the window, then stores at SDRAM 0 and 0x100. Parameter bits:
 * 0 the power-up commands, 1 the normal-operation command, 2 refresh after
 * it, 3 refresh already during the commands, 4 refresh off and on again
 * after the stores; bits 8-15 the delay-loop passes after each command but
 * the first, bits 16-31 those after the first, in units of 256.
 * r4: boot word seen at 0 before the switch; r5, r6: read back from SDRAM
 * 0 and 0x100; r7: read back from boot RAM through the window. */
#include "tests/sim/programs/program.h"

.macro delay passes
    movs    r3, \passes
    beq     2f
1:  subs    r3, r3, #1
    bne     1b
2:
.endm

    big_endian_core
    load_parameter r8
    mov     r9, r8, lsr #16
    mov     r9, r9, lsl #8
    and     r10, r8, #0xFF00
    mov     r10, r10, lsr #8
    mov     r4, #0
    ldr     r4, [r4]
    ldr     r2, =SDRAM_CTRL_BASE
    tst     r8, #8
    ldrne   r1, =SDRAM_REFRESH_VALUE
    strne   r1, [r2, #SDRAM_REFRESH]
    tst     r8, #1
    beq     normal
    mov     r1, #3
    str     r1, [r2, #SDRAM_CMD]
    delay   r9
    .irp code, 2, 7, 8, 4, 1, 2, 6, 6, 0
    mov     r1, #\code
    str     r1, [r2, #SDRAM_CMD]
    delay   r10
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
    tst     r8, #16
    movne   r1, #0
    strne   r1, [r2, #SDRAM_REFRESH]
    ldrne   r1, =SDRAM_REFRESH_VALUE
    strne   r1, [r2, #SDRAM_REFRESH]
    ldr     r5, [r0]
    ldr     r6, [r0, #0x100]
    ldr     r0, =IMAGE_BASE
    ldr     r7, [r0]
    halt
