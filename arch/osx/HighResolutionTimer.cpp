// The playout beat. Tick k falls on the clock reading taken when the thread
// starts plus k intervals: deadlines are absolute and advance by exactly one
// interval per tick, so the time a tick takes never shifts the grid, and a
// late tick is followed by ticks back to back (mach_wait_until returns at once
// for a past deadline) until the schedule is caught up. mRunning is tested only
// after a wait, so a stop ends the loop at the next deadline with no extra tick.
#include "HighResolutionTimer.h"

#include "SystenInfo.h"

#include <mach/mach_time.h>

#include <mutex>
#include <stdint.h>

// The Mach timebase, filled once by the first ticking thread and read by every
// one after it (call_once orders the write before those reads).
static mach_timebase_info_data_t timebase_info;
static std::once_flag timebase_once;

// The timer whose ticking thread this is, if any.
static thread_local const HighResolutionTimer* tTickingFor = nullptr;

HighResolutionTimer::HighResolutionTimer() : mRunning(false) {}

HighResolutionTimer::~HighResolutionTimer() {
    stop();
}

bool HighResolutionTimer::start(TimerListener* listener, int /*unused*/, int period) {
    // A second thread would orphan the first; no listener or no period has
    // nothing to run.
    if (mRunning.load() || listener == nullptr || period <= 0) {
        return false;
    }
    mListener = listener;
    mPeriod = period;
    // Running from here on, so that stop() joins a thread that has not ticked yet.
    mRunning.store(true);
    if (pthread_create(&mThread, nullptr, TickingThreadProc, this) != 0) {
        mRunning.store(false);
    }
    return true;
}

void HighResolutionTimer::stop() {
    if (!mRunning.exchange(false)) {
        return;
    }
    if (tTickingFor == this) {
        // Called from onTimerEvent: the thread cannot join itself, so it
        // cleans up after itself and leaves the loop without touching the
        // timer again (its owner may destroy it as soon as this returns).
        tTickingFor = nullptr;
        pthread_detach(pthread_self());
        return;
    }
    pthread_join(mThread, nullptr);
}

void* HighResolutionTimer::TickingThreadProc(void* timer) {
    pthread_setname_np(pthread_self(), "vx-tick");
    // Ticks on time even on a loaded machine, where allowed; plain otherwise.
    (void)useRealtimeScheduling();
    static_cast<HighResolutionTimer*>(timer)->run();
    return nullptr;
}

void HighResolutionTimer::run() {
    tTickingFor = this;
    std::call_once(timebase_once, [] { mach_timebase_info(&timebase_info); });
    // Formed in 64 bits: periods beyond 2147 ms would overflow 32.
    const uint64_t periodNs = (uint64_t)((int64_t)mPeriod * 1000000);
    const uint64_t interval = periodNs * timebase_info.denom / timebase_info.numer;

    uint64_t deadline = mach_absolute_time() + interval;
    do {
        mListener->onTimerEvent();
        if (tTickingFor != this) {
            return;
        }
        mach_wait_until(deadline);
        deadline += interval;
    } while (mRunning.load());
}
