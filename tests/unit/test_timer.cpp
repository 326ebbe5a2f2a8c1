#include "HighResolutionTimer.h"

#include <mach/mach_time.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint64_t kMs = 1000000; // absolute-time units (ns) per millisecond

// Records when each tick began; optionally works for a while in given ticks.
class TickRecorder : public TimerListener {
  public:
    explicit TickRecorder(std::function<void(int)> work = {})
        : mTimes(kCapacity), mWork(std::move(work)) {}

    void onTimerEvent() override {
        const int k = mCount.load();
        if (k < kCapacity) {
            mTimes[k] = mach_absolute_time();
        }
        if (mWork) {
            mWork(k);
        }
        mCount.store(k + 1); // publishes mTimes[k]
    }

    int count() const { return mCount.load(); }
    // Time of tick k relative to tick 0, in ms; k < count().
    double offsetMs(int k) const { return double(mTimes[k] - mTimes[0]) / kMs; }
    uint64_t at(int k) const { return mTimes[k]; }

    bool waitFor(int ticks, int timeoutMs = 5000) const {
        for (int waited = 0; count() < ticks; ++waited) {
            if (waited >= timeoutMs) {
                return false;
            }
            usleep(1000);
        }
        return true;
    }

  private:
    static constexpr int kCapacity = 400;
    std::vector<uint64_t> mTimes;
    std::function<void(int)> mWork;
    std::atomic<int> mCount{0};
};

} // namespace

TEST(HighResolutionTimerTest, FirstTickAtOnceAndStopDuringWaitAddsNoTick) {
    TickRecorder ticks;
    HighResolutionTimer timer;
    const uint64_t before = mach_absolute_time();
    EXPECT_TRUE(timer.start(&ticks, 0, 400));
    EXPECT_TRUE(timer.isRunning());
    ASSERT_TRUE(ticks.waitFor(1));
    // The first tick does not wait for a period.
    EXPECT_LT(ticks.at(0) - before, 200 * kMs);

    timer.stop(); // returns at the 400 ms deadline, without ticking there
    EXPECT_FALSE(timer.isRunning());
    EXPECT_GE(mach_absolute_time() - ticks.at(0), 390 * kMs);
    EXPECT_EQ(ticks.count(), 1);
}

TEST(HighResolutionTimerTest, FiftyTicksInTheFirstSecond) {
    TickRecorder ticks;
    HighResolutionTimer timer;
    const uint64_t before = mach_absolute_time();
    timer.start(&ticks, 0, 20);
    mach_wait_until(before + 1000 * kMs);
    const int counted = ticks.count();
    const uint64_t elapsedMs = (mach_absolute_time() - before) / kMs;
    timer.stop();
    // Ticks are never early: at most one per 20 ms since the start, plus tick 0.
    EXPECT_LE(counted, int(elapsedMs / 20) + 1);
    EXPECT_GE(counted, 45);
}

TEST(HighResolutionTimerTest, OverrunIsCaughtUpBackToBackThenKeepsTheGrid) {
    // Tick 5 (at 100 ms) takes 55 ms: ticks 6 and 7 (due at 120 and 140) run
    // at once when it ends, tick 8 waits for 160 ms, and so on.
    TickRecorder ticks([](int k) {
        if (k == 5) {
            usleep(55000);
        }
    });
    HighResolutionTimer timer;
    timer.start(&ticks, 0, 20);
    ASSERT_TRUE(ticks.waitFor(25));
    timer.stop();

    EXPECT_GE(ticks.offsetMs(6) - ticks.offsetMs(5), 55.0);
    EXPECT_LT(ticks.offsetMs(7) - ticks.offsetMs(6), 12.0) << "missed ticks were skipped";
    std::vector<double> lateness;
    for (int k = 8; k < 25; ++k) {
        EXPECT_GE(ticks.offsetMs(k), k * 20 - 1.0) << "tick " << k << " came early";
        lateness.push_back(ticks.offsetMs(k) - k * 20);
    }
    std::nth_element(lateness.begin(), lateness.begin() + lateness.size() / 2, lateness.end());
    // A grid restarted after the overrun would be 15 ms late from then on.
    EXPECT_LT(lateness[lateness.size() / 2], 8.0);
}

TEST(HighResolutionTimerTest, StopRightAfterStartAndDestructionJoinTheThread) {
    TickRecorder ticks;
    {
        HighResolutionTimer timer;
        for (int session = 1; session <= 2; ++session) { // reused, as by each session
            timer.start(&ticks, 0, 20);
            timer.stop();
            timer.stop();
            EXPECT_FALSE(timer.isRunning());
            // The thread always ticks once, and has ended when stop returns.
            EXPECT_EQ(ticks.count(), session);
        }
        timer.start(&ticks, 0, 5);
        ASSERT_TRUE(ticks.waitFor(5));
    }
    const int atDestruction = ticks.count();
    usleep(30 * 1000);
    EXPECT_EQ(ticks.count(), atDestruction);
}

TEST(HighResolutionTimerTest, RefusesMisuseWithoutStartingASecondThread) {
    TickRecorder ticks;
    HighResolutionTimer timer;
    EXPECT_FALSE(timer.start(nullptr, 0, 20));
    EXPECT_FALSE(timer.start(&ticks, 0, 0));
    EXPECT_FALSE(timer.isRunning());
    ASSERT_TRUE(timer.start(&ticks, 0, 20));
    EXPECT_FALSE(timer.start(&ticks, 0, 20)); // would orphan the running thread
    timer.stop();
}
