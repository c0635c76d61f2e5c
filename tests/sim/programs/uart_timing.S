/* Sends 'U' and reads the line status at once into r4, then polls until the
 * transmitter has room, counting the polls in r6. */
#include "tests/sim/programs/program.h"
    big_endian_core
    ldr     r2, =UART_BASE
    uart_8n1 r2
    mov     r1, #'U'
    strb    r1, [r2, #UART_THR]
    ldrb    r4, [r2, #UART_LSR]
    mov     r6, #0
1:  add     r6, r6, #1
    ldrb    r1, [r2, #UART_LSR]
    tst     r1, #UART_LSR_THRE
    beq     1b
    halt
