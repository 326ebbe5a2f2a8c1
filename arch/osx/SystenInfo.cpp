#include "SystenInfo.h"

#include <time.h>

int64_t getCurrentTimeInMS() {
    // Monotonic: the pump subtracts readings, and a wall-clock step must not
    // show up as a gap.
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
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
