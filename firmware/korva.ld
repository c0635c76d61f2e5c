/*
 * Boot image layout in the boot device's 4 KB RAM: the image linked at
 * IMAGE_BASE with reset_entry at offset 0, the two flag words right after
 * it, and the stack growing down from STACK_TOP.
 */
ENTRY(reset_entry)

IMAGE_BASE = 0x50000000;
BOOT_RAM_END = 0x50001000;
STACK_TOP = 0x50000FFC;
/* The deepest call chain needs 120 bytes; keep some margin above it. */
STACK_RESERVE = 160;

MEMORY
{
    BOOT_RAM (rwx) : ORIGIN = 0x50000000, LENGTH = 4K
}

SECTIONS
{
    .text IMAGE_BASE :
    {
        KEEP(*(.text.reset))
        *(.text .text.*)
        *(.rodata .rodata.*)
        . = ALIGN(4);
    } > BOOT_RAM

    /* The monitor keeps no variables besides the flag words. */
    .data :
    {
        *(.data .data.* .bss .bss.* COMMON)
    } > BOOT_RAM
    ASSERT(SIZEOF(.data) == 0, "the monitor must not have static variables")

    image_end = ADDR(.text) + SIZEOF(.text);
    output_enabled = image_end;
    pace_output = image_end + 4;
    flags_end = image_end + 8;
    ASSERT(flags_end + STACK_RESERVE <= STACK_TOP,
           "image, flag words and stack reserve do not fit the 4 KB boot RAM")
    ASSERT(reset_entry == IMAGE_BASE, "reset_entry must be at image offset 0")
    ASSERT(IMAGE_BASE == header_image_base && BOOT_RAM_END - IMAGE_BASE == header_boot_ram_size &&
           STACK_TOP == header_stack_top, "korva.ld and board_map.h or monitor_settings.h disagree")
    ASSERT(window_entry % 32 == 0, "window_entry must start on a 32-byte boundary")

    /DISCARD/ : { *(.ARM.exidx*) *(.ARM.attributes) *(.comment) *(.init_array*) *(.fini_array*) }
}
