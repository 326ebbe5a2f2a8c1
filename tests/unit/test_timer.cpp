// The playout clock. A stepped clock stands in for the monotonic one, so every
// deadline and every tick time is checked exactly, from both sides.
#include "HighResolutionTimer.h"

#include <darwin/Clock.h>
#include <mach/mach_time.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr uint64_t kMs = 1000000; // absolute-time units per millisecond
constexpr uint64_t kStart = 5000 * kMs;

// Time moves only when the timer waits (to the deadline) or a tick works. The
// timer's wait number `limit` blocks until release().
class SteppedClock : public darwin::Clock {
  public:
    explicit SteppedClock(size_t limit) : mLimit(limit) { darwin::setClock(this); }
    ~SteppedClock() override { darwin::setClock(nullptr); }

    uint64_t now() override { return mNow.load(); }
    void waitUntil(uint64_t deadline) override {
        std::unique_lock<std::mutex> lock(mMutex);
        mDeadlines.push_back(deadline);
        if (mNow.load() < deadline)
            mNow.store(deadline);
        mChanged.notify_all();
        mChanged.wait(lock, [&] { return mDeadlines.size() < mLimit || mReleased; });
    }
    void advance(uint64_t by) { mNow.fetch_add(by); }
    std::vector<uint64_t> deadlinesOnceBlocked() {
        std::unique_lock<std::mutex> lock(mMutex);
        mChanged.wait(lock, [&] { return mDeadlines.size() >= mLimit; });
        return mDeadlines;
    }
    void release() {
        std::lock_guard<std::mutex> lock(mMutex);
        mReleased = true;
        mChanged.notify_all();
    }

  private:
    const size_t mLimit;
    std::atomic<uint64_t> mNow{kStart};
    std::mutex mMutex; // guards the deadlines and mReleased
    std::condition_variable mChanged;
    std::vector<uint64_t> mDeadlines;
    bool mReleased = false;
};

// Records the clock at each tick; `work` may move the clock within a tick.
class TickRecorder : public TimerListener {
  public:
    explicit TickRecorder(std::function<void(int)> work = {}) : mWork(std::move(work)) {}
    void onTimerEvent() override {
        std::lock_guard<std::mutex> lock(mMutex);
        mTimes.push_back(mach_absolute_time());
        if (mWork)
            mWork((int)mTimes.size() - 1);
    }
    std::vector<uint64_t> times() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mTimes;
    }

  private:
    std::function<void(int)> mWork;
    std::mutex mMutex;
    std::vector<uint64_t> mTimes;
};

// Runs the timer until it has waited `waits` times, then stops it while it
// waits; returns the deadlines it waited for.
std::vector<uint64_t> runStepped(SteppedClock& clock, TickRecorder& ticks, int period) {
    HighResolutionTimer timer;
    EXPECT_TRUE(timer.start(&ticks, 0, period));
    std::vector<uint64_t> deadlines = clock.deadlinesOnceBlocked();
    std::thread stopper([&] { timer.stop(); });
    while (timer.isRunning())
        std::this_thread::yield();
    clock.release();
    stopper.join();
    return deadlines;
}

class TimerGrid : public ::testing::TestWithParam<int> {};

TEST_P(TimerGrid, DeadlinesAreStartPlusWholePeriodsAndStopAddsNoTick) {
    const uint64_t period = (uint64_t)GetParam() * kMs;
    SteppedClock clock(30);
    TickRecorder ticks;
    std::vector<uint64_t> deadlines = runStepped(clock, ticks, GetParam());
    ASSERT_EQ(deadlines.size(), 30u);
    for (size_t k = 0; k < deadlines.size(); ++k)
        EXPECT_EQ(deadlines[k], kStart + (k + 1) * period) << "deadline " << k;
    std::vector<uint64_t> times = ticks.times();
    ASSERT_EQ(times.size(), 30u) << "one tick before each wait, none after the stop";
    for (size_t k = 0; k < times.size(); ++k)
        EXPECT_EQ(times[k], kStart + k * period) << "tick " << k;
}

// 3000 ms does not fit a 32-bit count of nanoseconds.
INSTANTIATE_TEST_SUITE_P(Periods, TimerGrid, ::testing::Values(20, 3000),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return "Every" + std::to_string(info.param) + "ms";
                         });

TEST(HighResolutionTimerTest, OverrunIsCaughtUpBackToBackThenKeepsTheGrid) {
    // Tick 5 (at 100 ms) takes 55 ms: ticks 6 and 7 (due at 120 and 140) run
    // at once when it ends, tick 8 is back on the grid at 160 ms.
    SteppedClock clock(12);
    TickRecorder slow([&](int k) {
        if (k == 5)
            clock.advance(55 * kMs);
    });
    std::vector<uint64_t> deadlines = runStepped(clock, slow, 20);

    const std::vector<uint64_t> expectedMs = {0, 20, 40, 60, 80, 100, 155, 155, 160, 180, 200, 220};
    std::vector<uint64_t> times = slow.times();
    ASSERT_EQ(times.size(), expectedMs.size());
    for (size_t k = 0; k < times.size(); ++k)
        EXPECT_EQ(times[k], kStart + expectedMs[k] * kMs) << "tick " << k;
    EXPECT_EQ(deadlines.back(), kStart + 12 * 20 * kMs);
}

TEST(HighResolutionTimerTest, StopRightAfterStartAndDestructionJoinTheThread) {
    std::atomic<int> count{0};
    struct Counter : TimerListener {
        std::atomic<int>& n;
        explicit Counter(std::atomic<int>& c) : n(c) {}
        void onTimerEvent() override { n.fetch_add(1); }
    } counter(count);
    {
        HighResolutionTimer timer;
        for (int session = 1; session <= 2; ++session) { // reused, as by each session
            ASSERT_TRUE(timer.start(&counter, 0, 20));
            timer.stop();
            timer.stop();
            EXPECT_FALSE(timer.isRunning());
            // The thread always ticks once, and has ended when stop returns.
            EXPECT_EQ(count.load(), session);
        }
        EXPECT_FALSE(timer.start(nullptr, 0, 20));
        EXPECT_FALSE(timer.start(&counter, 0, 0));
        EXPECT_FALSE(timer.isRunning());
        ASSERT_TRUE(timer.start(&counter, 0, 1));
        EXPECT_FALSE(timer.start(&counter, 0, 20)) << "would orphan the running thread";
        while (count.load() < 5)
            std::this_thread::yield();
    }
    // The destructor joined the thread: the count no longer moves.
    const int atDestruction = count.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(count.load(), atDestruction);
}

} // namespace
