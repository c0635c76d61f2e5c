// The board's core as gdb describes an ARM target: its registers by gdb's
// numbers and the target description gdb reads (qXfer:features:read).
#ifndef KORVASIM_GDB_ARM_TARGET_H
#define KORVASIM_GDB_ARM_TARGET_H

#include <cstdint>

namespace korvasim::gdb {

// gdb numbers the ARM core's status register 25 (16-24 are the old FPA's).
const uint32_t GDB_CPSR = 25;

// The DebugTarget register (r0..r15, DebugTarget::CPSR) of gdb's register
// number, or -1 for one the core does not have.
int core_register(uint32_t gdb_number);

// target.xml: r0-r12, sp, lr, pc and the CPSR as register 25.
extern const char* const TARGET_XML;

} // namespace korvasim::gdb

#endif
