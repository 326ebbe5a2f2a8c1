// How late the 20 ms playout timer ticks, against its ideal absolute grid.
//
//   timer_lateness [--ticks N]     (default 3000 ticks: one minute)
//
// Tick 0 stands for the ticking thread's own clock reading (it follows it at
// once); tick k is due k periods later. Prints p50, p99 and max lateness in
// microseconds, and the drift: how far the last tick is from its ideal time.
#include "HighResolutionTimer.h"

#include <mach/mach_time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kPeriodMs = 20;

class TickLog : public TimerListener {
  public:
    explicit TickLog(int ticks) : mTimes(ticks) {}

    void onTimerEvent() override {
        const int k = mCount.load();
        if (k < (int)mTimes.size()) {
            mTimes[k] = mach_absolute_time();
            mCount.store(k + 1);
        }
    }

    int count() const { return mCount.load(); }
    const std::vector<uint64_t>& times() const { return mTimes; }

  private:
    std::vector<uint64_t> mTimes; // written by the ticking thread, read after stop
    std::atomic<int> mCount{0};
};

double percentile(std::vector<double> sorted, double p) {
    const size_t index = (size_t)(p * (double)(sorted.size() - 1) + 0.5);
    return sorted[index];
}

} // namespace

int main(int argc, char** argv) {
    int ticks = 3000;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--ticks") == 0 && i + 1 < argc) {
            ticks = atoi(argv[++i]);
        } else {
            fprintf(stderr, "usage: %s [--ticks N]\n", argv[0]);
            return 2;
        }
    }
    if (ticks < 2) {
        fprintf(stderr, "--ticks needs at least 2\n");
        return 2;
    }

    TickLog log(ticks);
    HighResolutionTimer timer;
    printf("timer_lateness: %d ticks of %d ms (%.1f s)\n", ticks, kPeriodMs,
           ticks * kPeriodMs / 1000.0);
    fflush(stdout);
    timer.start(&log, 0, kPeriodMs);
    while (log.count() < ticks) {
        usleep(100 * 1000);
    }
    timer.stop();

    const std::vector<uint64_t>& t = log.times();
    const uint64_t interval = (uint64_t)kPeriodMs * 1000000;
    std::vector<double> lateUs;
    lateUs.reserve(ticks - 1);
    for (int k = 1; k < ticks; ++k) {
        const int64_t late = (int64_t)(t[k] - (t[0] + (uint64_t)k * interval));
        lateUs.push_back((double)late / 1000.0);
    }
    const double drift = lateUs.back();
    std::sort(lateUs.begin(), lateUs.end());
    printf("lateness p50 %.1f us, p99 %.1f us, max %.1f us\n", percentile(lateUs, 0.50),
           percentile(lateUs, 0.99), lateUs.back());
    printf("drift over the run: %.1f us (last tick minus its ideal time)\n", drift);
    return 0;
}
