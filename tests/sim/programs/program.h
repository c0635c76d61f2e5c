/* Shared by the simulator's test programs. They run from reset at address
 * 0, take a parameter word that the test puts into the boot RAM, leave
 * their results in registers r4-r11 and end on an undefined instruction,
 * which halts the simulated board. */
#include "firmware/monitor_settings.h"

#define PARAMETER 0xFF0

    .syntax unified
    .arm
    .text

/* The core big-endian for data, as the start-up leaves it. */
.macro big_endian_core
    mov     r0, #CP15_CTRL_INIT
    mcr     p15, 0, r0, c1, c0, 0
.endm

.macro halt
    udf     #0
.endm

.macro load_parameter reg
    ldr     \reg, =PARAMETER
    ldr     \reg, [\reg]
.endm

/* 32-bit register write through r0/r1. */
.macro poke addr, value
    ldr     r0, =\addr
    ldr     r1, =\value
    str     r1, [r0]
.endm

/* The UART at base set to 8N1 with the divisor dlm:dll. */
.macro uart_divisor base, dll, dlm
    mov     r1, #UART_LCR_DLAB
    strb    r1, [\base, #UART_LCR]
    mov     r1, #\dll
    strb    r1, [\base, #UART_DLL]
    mov     r1, #\dlm
    strb    r1, [\base, #UART_DLM]
    mov     r1, #UART_LCR_8N1
    strb    r1, [\base, #UART_LCR]
.endm

/* The UART at base set up as the board's: 115200 baud, 8N1. */
.macro uart_8n1 base
    uart_divisor \base, UART_DIVISOR, 0
.endm
