#include "Mutex.h"
#include "SystenInfo.h"

#include <mach/mach_time.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <unistd.h>

TEST(MutexTest, SecondLockerWaitsForUnlockAndExcludesConcurrentUpdates) {
    Mutex mutex;
    std::atomic<bool> acquired{false};
    mutex.Lock();
    std::thread waiter([&] {
        mutex.Lock();
        acquired = true;
        mutex.Unlock();
    });
    usleep(50 * 1000);
    EXPECT_FALSE(acquired.load());
    mutex.Unlock();
    waiter.join();
    EXPECT_TRUE(acquired.load());

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

TEST(SystemInfoTest, FixedAnswersOfThisPlatform) {
    for (int call = 0; call < 2; ++call) {
        EXPECT_EQ(getOsType(), 1);
        int major = -7, minor = -7;
        getOsVersion(&major, &minor);
        EXPECT_EQ(major, 0);
        EXPECT_EQ(minor, 0);
        int min = -7, max = -7;
        getSystemTimeCapacity(&min, &max);
        EXPECT_EQ(min, 1);
        EXPECT_EQ(max, 1);
    }
}

TEST(SystemInfoTest, MillisecondClockAdvancesWithTime) {
    const int64_t before = getCurrentTimeInMS();
    usleep(20 * 1000);
    const int64_t after = getCurrentTimeInMS();
    EXPECT_GE(after - before, 20);
    EXPECT_LT(after - before, 2000);
}

TEST(MachTimeTest, NanosecondClockAndWaitUntilAnAbsoluteDeadline) {
    mach_timebase_info_data_t info{0, 0};
    ASSERT_EQ(mach_timebase_info(&info), KERN_SUCCESS);
    EXPECT_EQ(info.numer, 1u);
    EXPECT_EQ(info.denom, 1u);

    const uint64_t deadline = mach_absolute_time() + 30 * 1000000ull;
    EXPECT_EQ(mach_wait_until(deadline), KERN_SUCCESS);
    EXPECT_GE(mach_absolute_time(), deadline);

    // A deadline in the past is not a duration: the call returns at once
    // instead of sleeping for the clock's whole value.
    const uint64_t start = mach_absolute_time();
    mach_wait_until(start - 1);
    mach_wait_until(0);
    EXPECT_LT(mach_absolute_time() - start, 1000 * 1000000ull);
}
