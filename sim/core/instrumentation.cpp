#include "sim/core/instrumentation.h"

#include <unicorn/unicorn.h>

#include "sim/core/engine.h"

namespace korvasim {

void Instrumentation::block(uc_struct*, uint64_t, uint32_t size, void* data)
{
    static_cast<Instrumentation*>(data)->instructions_ += size / 4;
}

void Instrumentation::ram(uc_struct*, int, uint64_t address, int, int64_t, void* data)
{
    static_cast<Instrumentation*>(data)->ram_observer_(static_cast<uint32_t>(address));
}

void Instrumentation::need_count(bool needed)
{
    count_needed_ = needed;
    if (!needed && block_hook_) {
        check(uc_hook_del(uc_, block_hook_), "block counter");
        block_hook_ = 0;
    }
}

void Instrumentation::count_by_blocks()
{
    if (count_needed_)
        check(uc_hook_add(uc_, &block_hook_, UC_HOOK_BLOCK, reinterpret_cast<void*>(block), this, 1, 0),
              "block counter");
}

void Instrumentation::observe_ram(uint32_t begin, uint32_t end, Observer observer)
{
    ram_observer_ = std::move(observer);
    uc_hook hook;
    check(uc_hook_add(uc_, &hook, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(ram), this,
                      begin, end),
          "RAM observer");
}

} // namespace korvasim
