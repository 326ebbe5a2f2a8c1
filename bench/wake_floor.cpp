// What waking alone costs on this machine: threads that do nothing but sleep
// to a 20 ms absolute deadline, as the pump and the tick wake once a frame.
// The CPU they use is the floor under any client built on such threads.
//
//   wake_floor [--threads N] [--seconds S]     (default 2 threads, 20 s)
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    int threads = 2;
    int seconds = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::string(argv[i]) == "--threads")
            threads = std::max(1, std::atoi(argv[i + 1]));
        else if (std::string(argv[i]) == "--seconds")
            seconds = std::max(1, std::atoi(argv[i + 1]));
    }
    const int wakes = seconds * 50;
    std::vector<std::thread> sleepers;
    for (int t = 0; t < threads; ++t) {
        sleepers.emplace_back([wakes] {
            timespec at;
            clock_gettime(CLOCK_MONOTONIC, &at);
            for (int k = 0; k < wakes; ++k) {
                at.tv_nsec += 20'000'000;
                if (at.tv_nsec >= 1'000'000'000) {
                    at.tv_nsec -= 1'000'000'000;
                    ++at.tv_sec;
                }
                clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
            }
        });
    }
    for (std::thread& t : sleepers)
        t.join();
    rusage use{};
    getrusage(RUSAGE_SELF, &use);
    const double cpu = double(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
                       double(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
    std::printf("%d threads waking every 20 ms for %d s: %.3f s of CPU, %.2f s per minute, "
                "%.1f us per wake-up\n",
                threads, seconds, cpu, cpu * 60 / seconds, cpu / (double(threads) * wakes) * 1e6);
    return 0;
}
