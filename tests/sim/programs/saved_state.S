/* A board saved after its boot and started again from there. It runs from
 * the boot device's window and answers each command byte as the monitor
 * does, with ':', a result digit and the prompt:
 *   'a'  the digit its code slot makes ('0' as built; the slot is not run
 *        before a command);
 *   'c'  rewrites the slot to make '1', then answers as 'a';
 *   'w'  writes 7 to SRAM offset 0x100, digit '0';
 *   'r'  '0' plus the byte at SRAM offset 0x100;
 *   'm'  turns MEM_MAP off (the boot RAM no longer at 0), digit '0'.
 * Parameter bit 0: the boot reads the SRAM before its prompt. */
#include "tests/sim/programs/program.h"
#include "firmware/monitor_protocol.h"
    big_endian_core
    ldr     r0, =IMAGE_BASE
    add     pc, pc, r0          @ on at the same offset in the window
    nop
    poke    EXP_CFG_BASE + EXP_TIMING_CS2, EXP_TIMING_CS2_VALUE
    mov     r2, #UART_BASE & 0xFF000000
    orr     r2, r2, #UART_BASE & 0x00FFF000
    uart_8n1 r2
    ldr     r5, =SRAM_BASE
    load_parameter r8
    tst     r8, #1
    ldrbne  r1, [r5]
    ldr     r3, =BOARD_TICK_REG
prompt:
    mov     r1, #BOARD_PROMPT
    strb    r1, [r2, #UART_THR]
wait:
    ldrb    r1, [r2, #UART_LSR]
    tst     r1, #UART_LSR_DR
    strbeq  r1, [r3]
    beq     wait
    ldrb    r4, [r2, #UART_RBR]
    mov     r6, #'0'
    cmp     r4, #'c'
    beq     rewrite
    cmp     r4, #'a'
    beq     run_slot
    cmp     r4, #'w'
    beq     write_sram
    cmp     r4, #'r'
    beq     read_sram
    cmp     r4, #'m'
    beq     map_switch
    b       answer
rewrite:
    adr     r0, slot
    ldr     r1, make_one
    str     r1, [r0]
run_slot:
    bl      slot
    mov     r6, r1
    b       answer
write_sram:
    mov     r1, #7
    strb    r1, [r5, #0x100]
    b       answer
read_sram:
    ldrb    r1, [r5, #0x100]
    add     r6, r6, r1
    b       answer
map_switch:
    poke    EXP_CNFG0, 0
answer:
    mov     r1, #BOARD_END_OF_TEXT
    strb    r1, [r2, #UART_THR]
    strb    r6, [r2, #UART_THR]
    b       prompt
slot:
    mov     r1, #'0'
    mov     pc, lr
make_one:
    mov     r1, #'1'
