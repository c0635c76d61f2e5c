// Memory pattern tests. The data-bus test walks a one and a zero through
// every data line, so that a line stuck at either level or two lines shorted
// together change a pattern. The address-bus test writes a distinct value at
// the addresses that have one address line set (walking one) or cleared
// (walking zero), then reads them all back: a stuck or shorted address line
// makes two of them the same cell, and one value overwrites another.
#include "firmware/memtest.h"

#include "firmware/board_map.h"
#include "firmware/console.h"
#include "firmware/hardware.h"

void store_byte(uint32_t address, uint32_t value)
{
    write8(address, value);
}

void store_word(uint32_t address, uint32_t value)
{
    write32(address, value);
}

void memtest_data_banner(uint32_t base)
{
    mon_putc('D');
    mon_puthex(base);
    mon_newline();
}

void memtest_address_banner(uint32_t base, uint32_t size)
{
    mon_putc('A');
    mon_puthex(base);
    mon_putc(' ');
    mon_puthex(size);
    mon_newline();
}

static void show_access(uint32_t offset, uint8_t kind, uint32_t value)
{
    mon_putc(' ');
    mon_puthex(offset);
    mon_putc(kind);
    mon_puthex(value);
    mon_newline();
}

void memtest_show_write(uint32_t offset, uint32_t value)
{
    show_access(offset, 'w', value);
}

void memtest_show_read(uint32_t offset, uint32_t value)
{
    show_access(offset, 'r', value);
}

void memtest_show_mismatch(uint32_t value)
{
    mon_putc('*');
    mon_putc('r');
    mon_puthex(value);
    mon_newline();
}

namespace {

// Width-dependent parts of the tests; Word is uint8_t or uint32_t.
template <typename Word> uint32_t load(uint32_t address)
{
    return *reinterpret_cast<volatile Word*>(address);
}

template <typename Word> constexpr uint32_t value_mask()
{
    return sizeof(Word) == 1 ? 0xFFu : 0xFFFFFFFFu;
}

// Writes the pattern at offset, 0 at the next location, and reads the pattern
// back after each write. Returns whether both read-backs matched. The second
// read defends against a floating bus: with no chip answering, a read sees
// the last value driven, and writing 0 elsewhere first makes that value 0.
template <typename Word>
bool walk_pattern(uint32_t base, uint32_t offset, uint32_t pattern, store_routine store)
{
    const uint32_t next = offset + sizeof(Word);
    store(base + offset, pattern);
    memtest_show_write(offset, pattern);
    const uint32_t first = load<Word>(base + offset);
    memtest_show_read(offset, first);
    store(base + next, 0);
    memtest_show_write(next, 0);
    const uint32_t second = load<Word>(base + offset);
    memtest_show_read(offset, second);
    if (first == pattern && second == pattern)
        return true;
    memtest_show_mismatch(pattern);
    return false;
}

template <typename Word> uint32_t data_bus_test(uint32_t base, store_routine store)
{
    memtest_data_banner(base);
    uint32_t result = 0;
    uint32_t offset = 0;
    for (uint32_t p = 1; p != 0; p = (p << 1) & value_mask<Word>()) {
        if (!walk_pattern<Word>(base, offset, p, store))
            result = p;
        offset += 2 * sizeof(Word);
        const uint32_t q = ~p & value_mask<Word>();
        if (!walk_pattern<Word>(base, offset, q, store))
            result = q;
        offset += 2 * sizeof(Word);
    }
    return result;
}

// Step k of the walking one: index 0 for k = 0, else bit k - 1 set.
// The walking zero uses the all-ones index with that bit cleared.
inline uint32_t walking_index(uint32_t k, uint32_t mask, bool zero)
{
    const uint32_t bit = k == 0 ? 0 : 1u << (k - 1);
    return zero ? mask & ~bit : bit;
}

// Number of steps of one half: k = 0 and every bit below the bound.
inline uint32_t walking_steps(uint32_t bound)
{
    uint32_t steps = 1;
    while ((1u << (steps - 1)) < bound)
        ++steps;
    return steps;
}

template <typename Word>
bool address_walk(uint32_t base, uint32_t bound, bool zero, store_routine store)
{
    const uint32_t steps = walking_steps(bound);
    const uint32_t mask = bound - 1;
    for (uint32_t k = 0; k < steps; ++k) {
        const uint32_t offset = walking_index(k, mask, zero) * sizeof(Word);
        store(base + offset, k & value_mask<Word>());
        memtest_show_write(offset, k & value_mask<Word>());
    }
    bool sound = true;
    for (uint32_t k = 0; k < steps; ++k) {
        const uint32_t offset = walking_index(k, mask, zero) * sizeof(Word);
        const uint32_t value = load<Word>(base + offset);
        memtest_show_read(offset, value);
        if (value != (k & value_mask<Word>())) {
            sound = false;
            memtest_show_mismatch(value);
        }
    }
    return sound;
}

template <typename Word>
uint32_t address_bus_test(uint32_t base, uint32_t size, store_routine store)
{
    memtest_address_banner(base, size);
    const uint32_t bound = size / sizeof(Word);
    const bool ones_sound = address_walk<Word>(base, bound, false, store);
    const bool zeros_sound = address_walk<Word>(base, bound, true, store);
    return ones_sound && zeros_sound ? 0 : 1;
}

} // namespace

uint32_t data_bus_test_byte(uint32_t base, store_routine store)
{
    return data_bus_test<uint8_t>(base, store);
}

uint32_t data_bus_test_word(uint32_t base, store_routine store)
{
    return data_bus_test<uint32_t>(base, store);
}

uint32_t address_bus_test_byte(uint32_t base, uint32_t size, store_routine store)
{
    return address_bus_test<uint8_t>(base, size, store);
}

uint32_t address_bus_test_word(uint32_t base, uint32_t size, store_routine store)
{
    return address_bus_test<uint32_t>(base, size, store);
}

uint32_t sdram_test()
{
    uint32_t code = 0;
    if (data_bus_test_word(SDRAM_BASE, store_word) != 0)
        code = 1;
    if (address_bus_test_word(SDRAM_BASE, SDRAM_SIZE, store_word) != 0)
        code = 2;
    return code;
}

uint32_t sram_test()
{
    uint32_t code = 0;
    if (data_bus_test_byte(SRAM_BASE, store_byte) != 0)
        code = 1;
    if (address_bus_test_byte(SRAM_BASE, SRAM_SIZE, store_byte) != 0)
        code = 2;
    return code;
}
