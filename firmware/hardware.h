// Volatile accesses of a fixed width at fixed addresses: the only way the
// monitor touches devices and memory under test.
#ifndef KORVA_HARDWARE_H
#define KORVA_HARDWARE_H

#include <stdint.h>

inline uint8_t read8(uint32_t address)
{
    return *reinterpret_cast<volatile uint8_t*>(address);
}

inline void write8(uint32_t address, uint32_t value)
{
    *reinterpret_cast<volatile uint8_t*>(address) = static_cast<uint8_t>(value);
}

inline uint32_t read32(uint32_t address)
{
    return *reinterpret_cast<volatile uint32_t*>(address);
}

inline void write32(uint32_t address, uint32_t value)
{
    *reinterpret_cast<volatile uint32_t*>(address) = value;
}

#endif
