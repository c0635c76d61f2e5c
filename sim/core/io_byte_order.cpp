// The engine's byte order for I/O values, found by running a probe once:
// Unicorn versions differ in it, and the devices must see the bus's values.
#include "sim/core/cpu.h"

#include <mutex>
#include <stdexcept>
#include <unicorn/unicorn.h>

#include "sim/core/engine.h"

namespace korvasim {

namespace {

// A tiny big-endian program stores 0x11223344 into an I/O page.
class SwapProbe : public IoHandler {
public:
    uint32_t io_read(uint32_t, unsigned) override { return 0; }
    void io_write(uint32_t, unsigned, uint32_t value) override { seen = value; }
    uint32_t seen = 0;
};

} // namespace

bool Cpu::io_values_swapped()
{
    static std::once_flag probed;
    static bool swapped = false;
    std::call_once(probed, [] {
        // ldr r1, [pc, #4]; str r1, [r0]; udf; .word 0x11223344  (r0 = 0x10000)
        alignas(4) static uint8_t code[0x1000] = {
            0xe5, 0x9f, 0x10, 0x04, 0xe5, 0x80, 0x10, 0x00, 0xe7, 0xf0, 0x00, 0xf0,
            0x11, 0x22, 0x33, 0x44};
        SwapProbe probe;
        Cpu cpu;
        cpu.map_ram(0, sizeof code, code);
        cpu.map_io(0x10000, 0x1000, &probe);
        write_register(cpu.uc_, 0, 0x10000);
        check(uc_emu_start(cpu.uc_, 0, 8, 0, 0), "probe run");
        if (probe.seen != 0x11223344 && probe.seen != 0x44332211)
            throw std::runtime_error("unicorn: I/O byte-order probe saw an unexpected value");
        swapped = probe.seen == 0x44332211;
    });
    return swapped;
}

} // namespace korvasim
