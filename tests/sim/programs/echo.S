/* Sets up the UART, sends "HI", then echoes every byte received, ticking
 * while it waits. */
#include "tests/sim/programs/program.h"
    big_endian_core
    mov     r2, #UART_BASE & 0xFF000000
    orr     r2, r2, #UART_BASE & 0x00FFF000
    uart_8n1 r2
    mov     r1, #'H'
    strb    r1, [r2, #UART_THR]
    mov     r1, #'I'
    strb    r1, [r2, #UART_THR]
    ldr     r3, =BOARD_TICK_REG
wait:
    ldrb    r1, [r2, #UART_LSR]
    tst     r1, #UART_LSR_DR
    strbeq  r1, [r3]
    beq     wait
    ldrb    r1, [r2, #UART_RBR]
    strb    r1, [r2, #UART_THR]
    b       wait
