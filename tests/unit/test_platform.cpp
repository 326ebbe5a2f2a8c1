// The small platform pieces: the mutex and the clocks.
#include "Mutex.h"
#include "SystenInfo.h"

#include <mach/mach_time.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

TEST(MutexTest, ExcludesConcurrentUpdates) {
    Mutex mutex;
    long counter = 0; // plain: only the mutex keeps the increments whole
    auto add = [&] {
        for (int i = 0; i < 100000; ++i) {
            MutexLocker lock(mutex);
            ++counter;
        }
    };
    std::thread a(add), b(add);
    a.join();
    b.join();
    EXPECT_EQ(counter, 200000);
}

TEST(ClockTest, WaitsUntilAnAbsoluteDeadlineAndNotForAPastOne) {
    const int64_t msBefore = getCurrentTimeInMS();
    const uint64_t deadline = mach_absolute_time() + 30 * 1000000ull;
    EXPECT_EQ(mach_wait_until(deadline), KERN_SUCCESS);
    EXPECT_GE(mach_absolute_time(), deadline);
    EXPECT_GE(getCurrentTimeInMS() - msBefore, 30);
    // A past deadline is not a duration: these return (else the test hangs).
    mach_wait_until(deadline - 1);
    mach_wait_until(0);
}
