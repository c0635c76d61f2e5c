// Memory pattern tests: data-bus and address-bus tests in a byte-wide and a
// word-wide form, their report printers, and the SDRAM and SRAM drivers.
#ifndef KORVA_MEMTEST_H
#define KORVA_MEMTEST_H

#include <stdint.h>

// How a test stores one value of its width at an absolute address.
typedef void (*store_routine)(uint32_t address, uint32_t value);

void store_byte(uint32_t address, uint32_t value);  // low byte of value
void store_word(uint32_t address, uint32_t value);

// Report lines (sent only while output is enabled): the test's banner, "D"
// or "A" with the base (and size) in hex; each write and read as offset,
// 'w' or 'r' and value; a mismatch as "*r" and the expected value.
void memtest_data_banner(uint32_t base);
void memtest_address_banner(uint32_t base, uint32_t size);
void memtest_show_write(uint32_t offset, uint32_t value);
void memtest_show_read(uint32_t offset, uint32_t value);
void memtest_show_mismatch(uint32_t value);

// Data-bus test from base: 0 when every pattern read back, else the last
// pattern that did not.
uint32_t data_bus_test_byte(uint32_t base, store_routine store);
uint32_t data_bus_test_word(uint32_t base, store_routine store);
// Address-bus test over size bytes from base (size a power of two): 0 when
// every value read back, else 1.
uint32_t address_bus_test_byte(uint32_t base, uint32_t size, store_routine store);
uint32_t address_bus_test_word(uint32_t base, uint32_t size, store_routine store);

// 0 passed, 1 data-bus test failed, 2 address-bus test failed.
uint32_t sdram_test();
uint32_t sram_test();

#endif
