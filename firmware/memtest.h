// Memory pattern tests: data-bus and address-bus tests in a byte-wide and a
// word-wide form, their report printers, and the SDRAM and SRAM drivers.
#ifndef KORVA_MEMTEST_H
#define KORVA_MEMTEST_H

#include <stdint.h>

typedef void (*store_routine)(uint32_t address, uint32_t value);

void store_byte(uint32_t address, uint32_t value);
void store_word(uint32_t address, uint32_t value);

void memtest_data_banner(uint32_t base);
void memtest_address_banner(uint32_t base, uint32_t size);
void memtest_show_write(uint32_t offset, uint32_t value);
void memtest_show_read(uint32_t offset, uint32_t value);
void memtest_show_mismatch(uint32_t value);

uint32_t data_bus_test_byte(uint32_t base, store_routine store);
uint32_t data_bus_test_word(uint32_t base, store_routine store);
uint32_t address_bus_test_byte(uint32_t base, uint32_t size, store_routine store);
uint32_t address_bus_test_word(uint32_t base, uint32_t size, store_routine store);

// 0 passed, 1 data-bus test failed, 2 address-bus test failed.
uint32_t sdram_test();
uint32_t sram_test();

#endif
