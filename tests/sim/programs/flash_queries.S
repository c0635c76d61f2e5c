/* Runs the four flash queries: status word n at boot RAM 0xF00 + 4n, the
 * busy reads it took at 0xF10 + 4n. Then a command without the control
 * value: its status at 0xF20. */
#include "tests/sim/programs/program.h"
    big_endian_core
    poke    EXP_CFG_BASE + EXP_TIMING_CS1, EXP_TIMING_CS1_VALUE
    ldr     r2, =FLASH_REG_BASE
    mov     r5, #0xF00
    mov     r4, #0
query:
    mov     r1, #FLASH_CONTROL_QUERY
    str     r1, [r2, #FLASH_CONTROL]
    mov     r1, r4, lsl #4
    orr     r1, r1, #FLASH_CMD_QUERY
    str     r1, [r2, #FLASH_CMD_STATUS]
    mov     r6, #0
busy:
    ldr     r1, [r2, #FLASH_CMD_STATUS]
    tst     r1, #FLASH_STATUS_BUSY
    addne   r6, r6, #1
    ldrne   r3, =BOARD_TICK_REG
    strbne  r1, [r3]
    bne     busy
    ldr     r1, [r2, #FLASH_CMD_STATUS]
    str     r1, [r5, r4, lsl #2]
    add     r3, r5, #0x10
    str     r6, [r3, r4, lsl #2]
    add     r4, r4, #1
    cmp     r4, #4
    bne     query
    mov     r1, #0x11
    str     r1, [r2, #FLASH_CMD_STATUS]
    ldr     r1, [r2, #FLASH_CMD_STATUS]
    str     r1, [r5, #0x20]
    halt
