/* Sends 'U' and reads the line status at once into r4, then polls until the
 * transmitter has room, counting the polls in r6. The line is slow (divisor
 * 0x2000, about 90 ms a byte), so that the status read right after the
 * write comes before the byte is out even when the host is descheduled
 * between the two. */
#include "tests/sim/programs/program.h"
    big_endian_core
    ldr     r2, =UART_BASE
    uart_divisor r2, 0, 0x20
    mov     r1, #'U'
    strb    r1, [r2, #UART_THR]
    ldrb    r4, [r2, #UART_LSR]
    mov     r6, #0
1:  add     r6, r6, #1
    ldrb    r1, [r2, #UART_LSR]
    tst     r1, #UART_LSR_THRE
    beq     1b
    halt
