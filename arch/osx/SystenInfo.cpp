#include "SystenInfo.h"

#include <mach/mach_time.h>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>

int64_t getCurrentTimeInMS() {
    // Monotonic: the pump subtracts readings, and a wall-clock step must not
    // show up as a gap.
    static mach_timebase_info_data_t timebase = [] {
        mach_timebase_info_data_t info;
        mach_timebase_info(&info);
        return info;
    }();
    return (int64_t)(mach_absolute_time() * timebase.numer / timebase.denom / 1000000u);
}

void getSystemTimeCapacity(int* min, int* max) {
    *min = 1;
    *max = 1;
}

int getOsType() {
    return 1;
}

void getOsVersion(int* major, int* minor) {
    *major = 0;
    *minor = 0;
}

bool useRealtimeScheduling() {
    // Low in the real-time range: above every ordinary thread, below the
    // system's own real-time work. Each wake-up runs for tens of microseconds.
    constexpr int kPriority = 10;
    // 1 ns: the least the kernel takes (0 would restore the default 50 us).
    (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    sched_param param{};
    param.sched_priority = kPriority;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
}
