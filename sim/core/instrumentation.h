// What the board's timing models and analyses learn from the core besides
// its registers: the instructions executed so far, and observers of every
// instruction's address and of data accesses to a RAM range.
#ifndef KORVASIM_CORE_INSTRUMENTATION_H
#define KORVASIM_CORE_INSTRUMENTATION_H

#include <cstddef>
#include <cstdint>
#include <functional>

struct uc_struct;

namespace korvasim {

class Instrumentation {
public:
    using Observer = std::function<void(uint32_t address)>;

    explicit Instrumentation(uc_struct* uc) : uc_(uc) {}

    uint64_t instructions() const { return instructions_; }
    // The count of a saved state put back.
    void set_instructions(uint64_t count) { instructions_ = count; }
    // Whether anybody still needs instructions() to go on counting.
    void need_count(bool needed);
    // One instruction seen by the core's instruction hook.
    void executed(uint32_t address)
    {
        ++instructions_;
        if (tracer_)
            tracer_(address);
    }
    // The instruction hook is gone: count by blocks from now on, while
    // needed. A delay loop's two instructions make one block.
    void count_by_blocks();

    // Tells observer each executed instruction's address; the instruction
    // hook then stays for good.
    void trace(Observer observer) { tracer_ = std::move(observer); }
    bool tracing() const { return static_cast<bool>(tracer_); }
    // Tells observer about every data access to RAM in [begin, end].
    void observe_ram(uint32_t begin, uint32_t end, Observer observer);

private:
    static void block(uc_struct*, uint64_t, uint32_t size, void* data);
    static void ram(uc_struct*, int, uint64_t address, int, int64_t, void* data);

    uc_struct* uc_;
    uint64_t instructions_ = 0;
    bool count_needed_ = false;
    size_t block_hook_ = 0;
    Observer tracer_;
    Observer ram_observer_;
};

} // namespace korvasim

#endif
