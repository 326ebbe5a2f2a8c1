#include "SystenInfo.h"

#include <mach/mach_time.h>

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
