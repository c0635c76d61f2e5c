// Runs work(i) for i in [0, count) on a few threads.
#ifndef KORVASIM_PARALLEL_H
#define KORVASIM_PARALLEL_H

#include <atomic>
#include <cstddef>
#include <functional>
#include <thread>
#include <vector>

namespace korvasim {

inline void parallel_for(size_t count, unsigned threads, const std::function<void(size_t)>& work)
{
    std::atomic<size_t> next{0};
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < (threads ? threads : 1); ++t)
        pool.emplace_back([&] {
            for (size_t i; (i = next++) < count;)
                work(i);
        });
    for (auto& thread : pool)
        thread.join();
}

} // namespace korvasim

#endif
