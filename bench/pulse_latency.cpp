// End-to-end latency and glitches of clicks recorded from a sound source.
//
//   pulse_latency record SOURCE SECONDS CLICKLOG [PERIOD_MS]
//       Records SOURCE with parec (5 ms fragments) for SECONDS while a sender
//       writes 'SEQ MONOTONIC_NS' to CLICKLOG for each click it sends (as
//       voxlet-phone --click-log does). Each click's latency runs from its
//       send time to the moment its first sample reached the recorder.
//   pulse_latency source SECONDS
//       Writes a click every 500 ms straight into the virtual microphone (the
//       IOKit driver, as the playout tick does) and records voxlet_mic: the
//       latency the source adds alone.
//
// Prints the median, p95 and max latency, the median of the first and last
// 30 s (whether latency grows), and the glitches: clicks whose distance from
// the previous one is not the sending period (a gap or a repeat moves a click
// by a frame) and clicks that never arrived. Needs a sound server (PULSE_SERVER).
#include "MicDevice.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kRate = 48000;
constexpr int kThreshold = 8000;

int64_t nowNs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

struct Onset {
    int64_t sample;  // position in the recording
    int64_t arrival; // when that sample reached the recorder (monotonic ns)
};

// Records `source` for `seconds`, finding click onsets as the data arrives.
std::vector<Onset> recordClicks(const std::string& source, double seconds, int64_t* samplesOut) {
    int out[2];
    if (pipe(out) != 0)
        return {};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execlp("parec", "parec", "-d", source.c_str(), "--rate=48000", "--channels=1",
               "--format=s16le", "--latency-msec=5", (char*)nullptr);
        _exit(127);
    }
    close(out[1]);
    std::vector<Onset> onsets;
    const int64_t end = nowNs() + int64_t(seconds * 1e9);
    int64_t position = 0, lastLoud = -kRate;
    int16_t buf[4096];
    size_t carry = 0; // a byte left over from an odd read
    char* bytes = reinterpret_cast<char*>(buf);
    while (nowNs() < end) {
        ssize_t n = read(out[0], bytes + carry, sizeof buf - carry);
        const int64_t arrival = nowNs();
        if (n <= 0)
            break;
        size_t total = carry + size_t(n);
        size_t count = total / 2;
        for (size_t i = 0; i < count; ++i) {
            if (std::abs(int(buf[i])) >= kThreshold) {
                const int64_t at = position + int64_t(i);
                // A sample is in the recording when its chunk is read. Dating
                // older samples of a chunk earlier, as if they had trickled in
                // at the sample rate, credits a source that delivers whole
                // frames with up to a frame it never saved.
                if (at - lastLoud > kRate / 10)
                    onsets.push_back(Onset{at, arrival});
                lastLoud = at;
            }
        }
        position += int64_t(count);
        carry = total % 2;
        if (carry)
            bytes[0] = bytes[total - 1];
    }
    kill(pid, SIGINT);
    close(out[0]);
    waitpid(pid, nullptr, 0);
    *samplesOut = position;
    return onsets;
}

std::vector<int64_t> readClickLog(const char* path) {
    std::vector<int64_t> sent;
    FILE* f = std::fopen(path, "r");
    if (!f)
        return sent;
    unsigned seq;
    long long ns;
    while (std::fscanf(f, "%u %lld", &seq, &ns) == 2)
        sent.push_back(ns);
    std::fclose(f);
    return sent;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

int report(const std::vector<Onset>& onsets, const std::vector<int64_t>& sent, int periodMs,
           int64_t recorded) {
    std::vector<double> latency; // ms, in arrival order
    std::vector<int64_t> arrivals;
    size_t next = 0;
    for (const Onset& o : onsets) {
        // The latest click sent before this one arrived.
        while (next + 1 < sent.size() && sent[next + 1] <= o.arrival)
            ++next;
        if (next < sent.size() && sent[next] <= o.arrival) {
            latency.push_back(double(o.arrival - sent[next]) / 1e6);
            arrivals.push_back(o.arrival);
        }
    }
    int glitches = 0;
    const int64_t period = int64_t(periodMs) * kRate / 1000;
    for (size_t i = 1; i < onsets.size(); ++i) {
        const int64_t d = onsets[i].sample - onsets[i - 1].sample;
        if (std::llabs(d - period) > kRate / 1000)
            ++glitches;
    }
    const double seconds = double(recorded) / kRate;
    const size_t expected = size_t(seconds * 1000 / periodMs);
    std::printf("recorded %.1f s, %zu clicks (about %zu expected), %zu matched to a send time\n",
                seconds, onsets.size(), expected, latency.size());
    if (latency.empty())
        return 1;
    std::printf("latency ms: median %.1f  p95 %.1f  max %.1f\n", percentile(latency, 0.5),
                percentile(latency, 0.95), percentile(latency, 1.0));
    const size_t window = std::min(latency.size(), size_t(30000 / periodMs));
    if (latency.size() >= 2 * window) {
        std::vector<double> first(latency.begin(), latency.begin() + long(window));
        std::vector<double> last(latency.end() - long(window), latency.end());
        std::printf("latency ms, median of first 30 s %.1f, of last 30 s %.1f\n",
                    percentile(first, 0.5), percentile(last, 0.5));
    }
    std::printf("glitches (click spacing off by more than 1 ms): %d\n", glitches);
    return 0;
}

int sourceOnly(double seconds) {
    MicDevice mic;
    if (!mic.open()) {
        std::fprintf(stderr, "no virtual microphone: is a sound server running?\n");
        return 1;
    }
    std::vector<int64_t> sent;
    sent.reserve(size_t(seconds * 2) + 8);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        short frame[960];
        timespec t;
        clock_gettime(CLOCK_MONOTONIC, &t);
        for (long k = 0; !stop.load(); ++k) {
            std::fill(frame, frame + 960, short(0));
            const bool click = k % 25 == 0;
            if (click)
                std::fill(frame, frame + 48, short(32767));
            const int64_t at = nowNs();
            mic.write(frame, 960);
            if (click)
                sent.push_back(at);
            t.tv_nsec += 20000000;
            t.tv_sec += t.tv_nsec / 1000000000;
            t.tv_nsec %= 1000000000;
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr);
        }
    });
    int64_t recorded = 0;
    std::vector<Onset> onsets = recordClicks("voxlet_mic", seconds, &recorded);
    stop = true;
    writer.join();
    mic.close();
    return report(onsets, sent, 500, recorded);
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 5 && std::strcmp(argv[1], "record") == 0) {
        int64_t recorded = 0;
        std::vector<Onset> onsets = recordClicks(argv[2], std::atof(argv[3]), &recorded);
        const int period = argc > 5 ? std::atoi(argv[5]) : 500;
        return report(onsets, readClickLog(argv[4]), period > 0 ? period : 500, recorded);
    }
    if (argc >= 3 && std::strcmp(argv[1], "source") == 0)
        return sourceOnly(std::atof(argv[2]));
    std::fprintf(stderr, "usage: pulse_latency record SOURCE SECONDS CLICKLOG [PERIOD_MS]\n"
                         "       pulse_latency source SECONDS\n");
    return 2;
}
