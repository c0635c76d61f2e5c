/*
 * Board start-up: from reset to monitor_main.
 *
 * reset_entry runs through the boot alias at address 0, so up to the jump it
 * fetches every constant PC-relative and touches no RAM: all values live in
 * registers. window_entry runs in chip select 0's own window and may then
 * switch the memory map away from the alias.
 *
 * Registers: r0 scratch and CP15, r1 the value being written, r2 delay
 * counter, r4 the block being programmed, r6 the saved interface word.
 */
#include "firmware/monitor_settings.h"

    .syntax unified
    .arm

/* The headers' layout, for the linker script to check its own against. */
    .global header_image_base
    .global header_boot_ram_size
    .global header_stack_top
    .set    header_image_base, IMAGE_BASE
    .set    header_boot_ram_size, BOOT_RAM_SIZE
    .set    header_stack_top, STACK_TOP

    .section .text.reset, "ax"
    .global reset_entry
    .global window_entry

/* One 32-bit register write at base + offset. */
.macro write32 base, offset, value
    ldr     r1, =\value
    str     r1, [\base, #\offset]
.endm

/* One 32-bit register read at base + offset, value discarded. */
.macro read_back base, offset
    ldr     r1, [\base, #\offset]
.endm

/* Exactly \count decrements of a counter register. */
.macro spin_delay count
    ldr     r2, =\count
1:  subs    r2, r2, #1
    bne     1b
.endm

/* XScale CPWAIT: the CP15 write is in effect once this is through. */
.macro cp15_wait reg
    mrc     p15, 0, \reg, c2, c0, 0
    mov     \reg, \reg
    sub     pc, pc, #4
.endm

/* SDRAM controller command, then its wait. */
.macro sdram_command code, wait
    write32 r4, SDRAM_CMD, \code
    spin_delay \wait
.endm

reset_entry:
    /* Processor core: a plain write first, whatever the register held. */
    mov     r0, #CP15_CTRL_INIT
    mcr     p15, 0, r0, c1, c0, 0
    cp15_wait r0
    mrc     p15, 0, r0, c1, c0, 0
    orr     r0, r0, #CP15_CTRL_ICACHE
    mcr     p15, 0, r0, c1, c0, 0
    cp15_wait r0

    /* Expansion bus chip selects; chip select 0 is the one we run from. */
    ldr     r4, =EXP_CFG_BASE
    write32 r4, EXP_TIMING_CS0, EXP_TIMING_CS0_VALUE
    write32 r4, EXP_TIMING_CS1, EXP_TIMING_CS1_VALUE
    write32 r4, EXP_TIMING_CS2, EXP_TIMING_CS2_VALUE

    /* SDRAM controller configuration, refresh off during power-up. */
    ldr     r4, =SDRAM_CTRL_BASE
    write32 r4, SDRAM_CONFIG0, SDRAM_CONFIG0_VALUE
    write32 r4, SDRAM_CONFIG1, SDRAM_CONFIG1_VALUE
    write32 r4, SDRAM_SETUP0, 0
    read_back r4, SDRAM_SETUP0
    write32 r4, SDRAM_SETUP1, SDRAM_SETUP_VALUE
    read_back r4, SDRAM_SETUP1
    write32 r4, SDRAM_SETUP2, SDRAM_SETUP_VALUE
    read_back r4, SDRAM_SETUP2
    write32 r4, SDRAM_REFRESH, 0

    /* SDRAM power-up commands. */
    sdram_command 3, SDRAM_COMMAND_WAIT
    sdram_command 2, SDRAM_COMMAND_WAIT
    sdram_command 7, SDRAM_COMMAND_WAIT
    sdram_command 8, SDRAM_COMMAND_WAIT
    sdram_command 4, SDRAM_COMMAND_WAIT
    sdram_command 1, SDRAM_COMMAND_WAIT
    sdram_command 2, SDRAM_COMMAND_WAIT
    sdram_command 6, SDRAM_SHORT_WAIT
    sdram_command 6, SDRAM_SHORT_WAIT
    sdram_command 0, SDRAM_COMMAND_WAIT
    write32 r4, SDRAM_CONFIG0, SDRAM_CONFIG0_VALUE | SDRAM_CONFIG0_READY

    /* Interface block, first part: +0x04 changes only for two waits. */
    ldr     r4, =SDRAM_IF_BASE
    ldr     r6, [r4, #SDRAM_IF_CONTROL]
    write32 r4, SDRAM_IF_INDEXED, 0x01000003
    write32 r4, SDRAM_IF_CONTROL, 0x381
    spin_delay 0x10000
    write32 r4, SDRAM_IF_CONTROL, 1
    spin_delay 0x10000
    str     r6, [r4, #SDRAM_IF_CONTROL]

    /* Controller into normal operation, then refresh on. */
    ldr     r4, =SDRAM_CTRL_BASE
    sdram_command SDRAM_CMD_NORMAL, 0x10000
    write32 r4, SDRAM_REFRESH, SDRAM_REFRESH_VALUE
    spin_delay 0x10000

    /* Interface block, second part. */
    ldr     r4, =SDRAM_IF_BASE
    write32 r4, SDRAM_IF_50, 4
    write32 r4, SDRAM_IF_54, 0
    write32 r4, SDRAM_IF_58, 0
    write32 r4, SDRAM_IF_5C, 0
    write32 r4, SDRAM_IF_60, 0
    write32 r4, SDRAM_IF_64, 4
    write32 r4, SDRAM_IF_68, 0
    write32 r4, SDRAM_IF_74, 0xA
    .rept 6
    write32 r4, SDRAM_IF_78, 0x2D400
    spin_delay 0x1000
    .endr
    write32 r4, SDRAM_IF_78, 0x2D000
    spin_delay 0x1000
    .rept 5
    write32 r4, SDRAM_IF_7C, 0x889C
    spin_delay 0x1000
    .endr
    write32 r4, SDRAM_IF_7C, 0x809C
    spin_delay 0x1000
    /* 32 indexed words: indices 0x20 * g + i, g = 0..3, i = 0..7. */
    .irp g, 0, 1, 2, 3
    .irp i, 0, 1, 2, 3, 4, 5, 6, 7
    write32 r4, SDRAM_IF_INDEXED, (0x81000006 + 0x2000 * \g + 0x100 * \i)
    spin_delay 0x1000
    .endr
    .endr

    /* Hand-over: the one absolute image address before the map switch. */
    ldr     pc, =window_entry

    .balign 32
window_entry:
    /* The outermost frame, for a debugger's backtrace (no code, no bytes
     * in the image: the frame notes go to a debug section). */
    .cfi_sections .debug_frame
    .cfi_startproc
    .cfi_undefined lr
    /* Map switch: address 0 shows SDRAM from here on. */
    ldr     r0, =EXP_CNFG0
    ldr     r1, [r0]
    bic     r1, r1, #EXP_CNFG0_MEM_MAP
    str     r1, [r0]
    ldr     sp, =STACK_TOP
    bl      monitor_main
    .cfi_endproc
    .ltorg
