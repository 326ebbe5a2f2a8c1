// System information: fixed answers of this platform layer, and its clock.
#pragma once

#include <stdint.h>

// Milliseconds of a clock that never runs backwards (the monotonic clock).
int64_t getCurrentTimeInMS();
// Smallest and largest timer period in milliseconds: 1 and 1.
void getSystemTimeCapacity(int* min, int* max);
// The client's operating-system code sent to the phone: 1.
int getOsType();
// The operating-system version sent to the phone: 0.0.
void getOsVersion(int* major, int* minor);
// For the calling thread of a 20 ms deadline (the tick): a real-time FIFO
// priority where the system grants it, and the least timer slack; false when
// the priority was refused (the thread then runs on, with the slack).
bool useRealtimeScheduling();
