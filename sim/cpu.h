// The board's XScale core on the Unicorn engine: big-endian ARMv5TE (PXA255
// model), RAM mapped from host buffers, device pages as memory-mapped I/O.
#ifndef KORVASIM_CPU_H
#define KORVASIM_CPU_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct uc_struct;

namespace korvasim {

// Receives the accesses to a mapped I/O range, values in the CPU's own
// byte order whatever the engine delivers.
class IoHandler {
public:
    virtual ~IoHandler() = default;
    virtual uint32_t io_read(uint32_t address, unsigned width) = 0;
    virtual void io_write(uint32_t address, unsigned width, uint32_t value) = 0;
};

// One mapped I/O range: its handler and base address.
struct IoRange {
    IoHandler* handler;
    uint32_t base;
};

class Cpu {
public:
    Cpu();
    ~Cpu();
    Cpu(const Cpu&) = delete;
    Cpu& operator=(const Cpu&) = delete;

    // Ranges are multiples of 4 KB. May be called from inside an I/O access.
    void map_ram(uint32_t address, size_t size, uint8_t* host);
    void map_io(uint32_t address, size_t size, IoHandler* handler);
    void unmap(uint32_t address, size_t size);

    // Runs from address in reset state (supervisor mode, IRQ and FIQ masked)
    // until stop() or a fault. Returns an empty string after stop(), else a
    // description of the fault with the PC and, for a bad access, the address.
    std::string run(uint32_t address);
    // Ends run() from another thread or from inside an I/O access. The state
    // after it is not resumable: the board is reset or dropped afterwards.
    void stop();

    uint32_t reg(int n) const;  // r0..r15
    uint32_t cp15_control() const;

    // Counts executed instructions from now on, telling observer each one's
    // address. Slow: for tracing only.
    void count_instructions(std::function<void(uint32_t address)> observer);
    // Tells observer about every data access to RAM in [begin, end].
    void watch_ram(uint32_t begin, uint32_t end, std::function<void(uint32_t address)> observer);
    uint64_t instructions() const { return instructions_; }

    // Whether the engine hands 16- and 32-bit I/O values over byte-swapped.
    static bool io_values_swapped();

private:
    uc_struct* uc_;
    std::vector<std::unique_ptr<IoRange>> io_ranges_;
    std::atomic<bool> stopping_{false};
    uint64_t instructions_ = 0;
    std::function<void(uint32_t)> instruction_observer_;
    std::function<void(uint32_t)> ram_observer_;
    uint64_t bad_address_ = 0;
    bool bad_access_ = false;
    int exception_ = -1;
};

} // namespace korvasim

#endif
