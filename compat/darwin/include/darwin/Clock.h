// The clock behind mach_absolute_time and mach_wait_until, replaceable so a
// test can step the playout timer through its schedule without real time.
#pragma once

#include <stdint.h>

namespace darwin {

class Clock {
  public:
    virtual ~Clock() = default;
    virtual uint64_t now() = 0;                    // absolute-time units
    virtual void waitUntil(uint64_t deadline) = 0; // returns at once for a past deadline
};

// Installs `clock` for every thread (null: the monotonic clock again). It must
// outlive every thread that may still read the clock.
void setClock(Clock* clock);

} // namespace darwin
