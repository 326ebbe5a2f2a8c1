// Mach absolute time on Linux: the monotonic clock, in nanoseconds (timebase 1/1).
#pragma once

#include <mach/mach.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct mach_timebase_info {
    uint32_t numer;
    uint32_t denom;
};
typedef struct mach_timebase_info* mach_timebase_info_t;
typedef struct mach_timebase_info mach_timebase_info_data_t;

// Nanoseconds of CLOCK_MONOTONIC.
uint64_t mach_absolute_time(void);
// Always 1/1 here: one absolute-time unit is one nanosecond.
kern_return_t mach_timebase_info(mach_timebase_info_t info);
// Sleeps until the monotonic clock reaches `deadline` (returns at once for a past one).
kern_return_t mach_wait_until(uint64_t deadline);

#ifdef __cplusplus
}
#endif
