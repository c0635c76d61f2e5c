/* Sets the divisor and line format, waits for a receive overrun, then
 * drains the receive FIFO into the transmitter. r4: LSR before, r5: LSR
 * after, r6: IER, r7: LCR, r8: SCR. */
#include "tests/sim/programs/program.h"
    big_endian_core
    ldr     r2, =UART_BASE
    mov     r1, #0x05
    strb    r1, [r2, #UART_IER]
    uart_divisor r2, 7, 0
    mov     r1, #0x5A
    strb    r1, [r2, #7]
    /* Wait until the host has overrun the receive FIFO. */
full:
    ldrb    r4, [r2, #UART_LSR]
    tst     r4, #UART_LSR_OE
    beq     full
drain:
    ldrb    r1, [r2, #UART_LSR]
    tst     r1, #UART_LSR_DR
    beq     done
    ldrb    r1, [r2, #UART_RBR]
    strb    r1, [r2, #UART_THR]
    b       drain
done:
    ldrb    r5, [r2, #UART_LSR]
    ldrb    r6, [r2, #UART_IER]
    ldrb    r7, [r2, #UART_LCR]
    ldrb    r8, [r2, #7]
    halt
