#include <mach/mach_time.h>

#include <errno.h>
#include <time.h>

mach_port_t mach_task_self_ = 1;

uint64_t mach_absolute_time(void) {
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
    struct timespec ts;
    ts.tv_sec = (time_t)(deadline / 1000000000u);
    ts.tv_nsec = (long)(deadline % 1000000000u);
    // A signal interrupts the sleep; the deadline is absolute, so sleep again.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
    return KERN_SUCCESS;
}
