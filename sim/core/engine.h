// The Unicorn calls that the core's units share: errors as exceptions, the
// general registers by number.
#ifndef KORVASIM_CORE_ENGINE_H
#define KORVASIM_CORE_ENGINE_H

#include <cstdint>
#include <unicorn/unicorn.h>

namespace korvasim {

// Throws std::runtime_error naming what failed.
void check(uc_err err, const char* what);

// r0..r15 (not the CPSR).
uint32_t read_register(uc_engine* uc, int n);
void write_register(uc_engine* uc, int n, uint32_t value);

} // namespace korvasim

#endif
