// The playout clock. A stepped clock stands in for the monotonic one, so every
// deadline and every tick time is checked exactly, from both sides.
#include "HighResolutionTimer.h"

#include <darwin/Clock.h>
#include <mach/mach_time.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr uint64_t kMs = 1000000; // absolute-time units per millisecond
constexpr uint64_t kStart = 5000 * kMs;

// Time moves only when the timer waits (to the deadline) or when tick
// `slowTick` works for `slowFor`. Records each tick's time and each deadline;
// the wait number `waits` blocks until the timer is stopped.
class SteppedClock : public darwin::Clock, public TimerListener {
  public:
    SteppedClock(size_t waits, int slowTick = -1, uint64_t slowFor = 0)
        : mWaits(waits), mSlowTick(slowTick), mSlowFor(slowFor) {
        darwin::setClock(this);
    }
    ~SteppedClock() override { darwin::setClock(nullptr); }

    uint64_t now() override { return mNow.load(); }
    void waitUntil(uint64_t deadline) override {
        std::unique_lock<std::mutex> lock(mMutex);
        deadlines.push_back(deadline);
        mNow.store(std::max(mNow.load(), deadline));
        mChanged.notify_all();
        mChanged.wait(lock, [&] { return deadlines.size() < mWaits || mReleased; });
    }
    void onTimerEvent() override {
        std::lock_guard<std::mutex> lock(mMutex);
        ticks.push_back(mNow.load());
        if ((int)ticks.size() - 1 == mSlowTick)
            mNow.fetch_add(mSlowFor);
    }

    // Starts the timer, lets it run to the blocking wait, stops it there.
    void run(int periodMs) {
        HighResolutionTimer timer;
        ASSERT_TRUE(timer.start(this, 0, periodMs));
        {
            std::unique_lock<std::mutex> lock(mMutex);
            mChanged.wait(lock, [&] { return deadlines.size() >= mWaits; });
        }
        std::thread stopper([&] { timer.stop(); });
        while (timer.isRunning())
            std::this_thread::yield();
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mReleased = true;
            mChanged.notify_all();
        }
        stopper.join();
    }

    std::vector<uint64_t> deadlines, ticks; // read once run() has returned

  private:
    const size_t mWaits;
    const int mSlowTick;
    const uint64_t mSlowFor;
    std::atomic<uint64_t> mNow{kStart};
    std::mutex mMutex; // guards the records and mReleased
    std::condition_variable mChanged;
    bool mReleased = false;
};

class TimerGrid : public ::testing::TestWithParam<int> {};

TEST_P(TimerGrid, DeadlinesAreStartPlusWholePeriodsAndStopAddsNoTick) {
    const uint64_t period = (uint64_t)GetParam() * kMs;
    SteppedClock clock(30);
    clock.run(GetParam());
    ASSERT_EQ(clock.deadlines.size(), 30u);
    ASSERT_EQ(clock.ticks.size(), 30u)
        << "the first tick at once, one after each wait but the last";
    for (size_t k = 0; k < 30; ++k) {
        EXPECT_EQ(clock.deadlines[k], kStart + (k + 1) * period) << "deadline " << k;
        EXPECT_EQ(clock.ticks[k], kStart + k * period) << "tick " << k;
    }
}

// 3000 ms does not fit a 32-bit count of nanoseconds.
INSTANTIATE_TEST_SUITE_P(Periods, TimerGrid, ::testing::Values(20, 3000), [](const auto& info) {
    return "Every" + std::to_string(info.param) + "ms";
});

TEST(HighResolutionTimerTest, OverrunIsCaughtUpBackToBackThenKeepsTheGrid) {
    // Tick 5 (at 100 ms) takes 55 ms: ticks 6 and 7 (due at 120 and 140) run
    // at once when it ends, tick 8 is back on the grid at 160 ms.
    SteppedClock clock(12, 5, 55 * kMs);
    clock.run(20);
    const std::vector<uint64_t> expectedMs = {0, 20, 40, 60, 80, 100, 155, 155, 160, 180, 200, 220};
    ASSERT_EQ(clock.ticks.size(), expectedMs.size());
    for (size_t k = 0; k < expectedMs.size(); ++k)
        EXPECT_EQ(clock.ticks[k], kStart + expectedMs[k] * kMs) << "tick " << k;
}

TEST(HighResolutionTimerTest, RefusesMisuseAndStopAndDestructionJoinTheThread) {
    struct Counter : TimerListener {
        std::atomic<int> n{0};
        void onTimerEvent() override { n.fetch_add(1); }
    } counter;
    {
        HighResolutionTimer timer;
        for (int session = 1; session <= 2; ++session) { // reused, as by each session
            ASSERT_TRUE(timer.start(&counter, 0, 20));
            timer.stop();
            timer.stop();
            EXPECT_FALSE(timer.isRunning());
            EXPECT_EQ(counter.n.load(), session) << "one tick, and the thread ended at the stop";
        }
        EXPECT_FALSE(timer.start(nullptr, 0, 20));
        EXPECT_FALSE(timer.start(&counter, 0, 0));
        EXPECT_FALSE(timer.isRunning());
        ASSERT_TRUE(timer.start(&counter, 0, 1));
        EXPECT_FALSE(timer.start(&counter, 0, 20)) << "would orphan the running thread";
        while (counter.n.load() < 5)
            std::this_thread::yield();
    }
    const int atDestruction = counter.n.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(counter.n.load(), atDestruction) << "the destructor joined the thread";
}

} // namespace
