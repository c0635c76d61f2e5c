// The processor time a thread has used: a run's own time, which a loaded
// machine does not stretch as it stretches the wall clock's.
#ifndef KORVASIM_THREAD_TIME_H
#define KORVASIM_THREAD_TIME_H

#include <pthread.h>
#include <thread>
#include <time.h>

namespace korvasim {

// Of the calling thread, in milliseconds.
inline double own_thread_ms()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// Of a running thread, in milliseconds; -1 once it has ended.
inline double thread_ms(std::thread& thread)
{
    clockid_t clock;
    timespec t{};
    if (pthread_getcpuclockid(thread.native_handle(), &clock) != 0 || clock_gettime(clock, &t) != 0)
        return -1;
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

} // namespace korvasim

#endif
