#include <darwin/Clock.h>
#include <mach/mach_time.h>

#include <atomic>
#include <errno.h>
#include <time.h>

mach_port_t mach_task_self_ = 1;

static std::atomic<darwin::Clock*> installedClock{nullptr};

void darwin::setClock(Clock* clock) {
    installedClock.store(clock);
}

uint64_t mach_absolute_time(void) {
    if (darwin::Clock* clock = installedClock.load())
        return clock->now();
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

kern_return_t mach_timebase_info(mach_timebase_info_t info) {
    info->numer = 1;
    info->denom = 1;
    return KERN_SUCCESS;
}

kern_return_t mach_wait_until(uint64_t deadline) {
    if (darwin::Clock* clock = installedClock.load()) {
        clock->waitUntil(deadline);
        return KERN_SUCCESS;
    }
    struct timespec ts;
    ts.tv_sec = (time_t)(deadline / 1000000000u);
    ts.tv_nsec = (long)(deadline % 1000000000u);
    // A signal interrupts the sleep; the deadline is absolute, so sleep again.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
    return KERN_SUCCESS;
}
