// The core's data accesses to RAM: the lanes and a debugger told of each,
// and stores through a filter where the RAM's bus does not take every write
// as given.
#include "sim/core/cpu.h"

#include <algorithm>
#include <unicorn/unicorn.h>

#include "sim/core/engine.h"

namespace korvasim {

void Cpu::ram_access(bool write, uint32_t address, unsigned width)
{
    lanes_.settle();
    if (!ram_.host_of(address) || width > 4)
        return;
    const uint32_t bus = lanes_.bus_address(address, width);
    if (debug_.watching()) {
        debug_.hits_watchpoint(write, bus, width);
        if (write)
            debug_.remember_store(address, bus, width);
    }
    // A filtered store is made by filtered_store, at its lane.
    if (!write || !write_filter_)
        lanes_.before_ram_access(write, address, bus, width);
}

unsigned Cpu::ram_protection() const
{
    return write_filter_ ? UC_PROT_READ | UC_PROT_EXEC : UC_PROT_ALL;
}

void Cpu::filter_ram_writes(RamWriteFilter filter)
{
    lanes_.settle();
    const bool was_filtering = static_cast<bool>(write_filter_);
    write_filter_ = std::move(filter);
    if (was_filtering == static_cast<bool>(write_filter_))
        return;
    ++layout_;
    for (const RamRange& r : ram_.ranges())
        check(uc_mem_protect(uc_, r.address, r.size, ram_protection()), "protect RAM");
}

bool Cpu::filtered_store(uint32_t address, unsigned width, uint32_t value)
{
    lanes_.settle();
    const uint32_t bus = lanes_.bus_address(address, width);
    uint8_t* at = ram_.host_of(bus);
    if (!write_filter_ || !at || width > 4 || ram_.host_of(bus + width - 1) != at + width - 1)
        return false;
    uint8_t before[4];
    uint8_t now[4];
    for (unsigned i = 0; i < width; ++i) {
        before[i] = at[i];
        now[i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
    }
    write_filter_(bus, width, before, now);
    std::copy(now, now + width, at);
    return true;
}

void Cpu::put_back_ram(uint8_t* host, const uint8_t* saved, size_t length)
{
    // Run by run of bytes that differ, wherever the core sees them: a block
    // translated from any of them is dropped, the others (the code beside
    // the stack's bytes) stay.
    for (size_t i = 0; i < length;) {
        if (host[i] == saved[i]) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < length && host[end] != saved[end])
            ++end;
        std::copy(saved + i, saved + end, host + i);
        // By address: the buffers are unrelated arrays.
        const uintptr_t from = reinterpret_cast<uintptr_t>(host + i), to = reinterpret_cast<uintptr_t>(host + end);
        for (const RamRange& r : ram_.ranges()) {
            const uintptr_t base = reinterpret_cast<uintptr_t>(r.host);
            const uintptr_t first = std::max(from, base), last = std::min(to, base + r.size);
            if (first < last)
                check(uc_ctl_remove_cache(uc_, r.address + (first - base), r.address + (last - base)),
                      "drop translations");
        }
        i = end;
    }
}

} // namespace korvasim
