#include "Statistics.h"

#include "SystenInfo.h"

#include <stdio.h>

Statistics* Statistics::mInstance = nullptr;

Statistics::Statistics() {
    reset();
}

Statistics* Statistics::getInstance() {
    if (!mInstance)
        mInstance = new Statistics();
    return mInstance;
}

void Statistics::reset() {
    startTime = 0;
    endTime = 0;
    rxCount = 0;
    maxDelta = 0;
    oldDropCount = 0;
    fullDropCount = 0;
    badFrameCount = 0;
}

void Statistics::printTime(long t) {
    printf("%.2d:%.2d:%.2d %.3d", (int)(t / 3600000), (int)((t / 60000) % 60),
           (int)((t / 1000) % 60), (int)(t - (t / 1000) * 1000));
}

void Statistics::print() {
    printf("Start:\t");
    printTime((long)startTime);
    printf("\r\n");
    printf("End:\t");
    printTime((long)endTime);
    printf("\r\n");
    printf("rxCount: %d\r\n", rxCount);
    printf("max delta : %d\r\n", maxDelta);
    printf("dropped packets due to being old: %d\r\n", oldDropCount);
    printf("dropped packets due that buffer is full: %d\r\n", fullDropCount);
    int min, max;
    getSystemTimeCapacity(&min, &max);
    printf("Period min: %d, max: %d\r\n", min, max);
    int major, minor;
    getOsVersion(&major, &minor);
    printf("OS version: %d.%d, \r\n", major, minor);
    fflush(stdout);
}
