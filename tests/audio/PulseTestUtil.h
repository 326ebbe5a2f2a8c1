// Helpers for the tests that run against a private PulseAudio server (started
// by scripts/lib/pulse.sh, reached through PULSE_SERVER): guards, pactl
// queries, a parec recorder, and the checks made on recordings.
#pragma once

#include "Child.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <time.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#if defined(__SANITIZE_THREAD__)
// libpulse recycles its packet buffers between connections through lock-free
// free lists built without ThreadSanitizer's instrumentation, so two
// connections in one process (microphone and speaker) look like a race inside
// the library; so does a mutex it creates on first use through an
// uninstrumented atomic. Only these library functions are excused.
extern "C" __attribute__((weak)) const char* __tsan_default_suppressions() {
    return "race:pa_srbchannel_read\nrace:pa_iochannel_read_with_ancil_data\n"
           "race:pa_packet_new_data\nrace:pa_mutex_lock\n";
}
#endif

namespace pulsetest {

// Why the loading steps must not run, or empty when a private server answers.
// Without PULSE_SERVER the modules would land in this machine's own server.
inline std::string whyNoPrivateServer() {
    const char* server = std::getenv("PULSE_SERVER");
    if (!server || !*server)
        return "PULSE_SERVER is unset: refusing to load anything into this machine's sound "
               "server (scripts/test starts a private one)";
    Child info("/usr/bin/pactl", {"info"});
    if (info.wait() != 0)
        return std::string("no sound server answers at ") + server;
    return "";
}

#define REQUIRE_PRIVATE_SERVER()                                                                   \
    do {                                                                                           \
        const std::string why = pulsetest::whyNoPrivateServer();                                   \
        if (!why.empty())                                                                          \
            GTEST_SKIP() << why;                                                                   \
    } while (0)

// Points this process, and the programs it starts, at another server for a scope.
class ServerOverride {
  public:
    explicit ServerOverride(const std::string& server) {
        if (const char* old = std::getenv("PULSE_SERVER"))
            mOld = old;
        setenv("PULSE_SERVER", server.c_str(), 1);
    }
    ~ServerOverride() {
        if (mOld.empty())
            unsetenv("PULSE_SERVER");
        else
            setenv("PULSE_SERVER", mOld.c_str(), 1);
    }

  private:
    std::string mOld;
};

inline std::string pactl(const std::vector<std::string>& args, int* status = nullptr) {
    Child p("/usr/bin/pactl", args);
    int rc = p.wait();
    if (status)
        *status = rc;
    return p.out();
}

inline std::vector<std::vector<std::string>> shortList(const std::string& what) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(pactl({"list", "short", what}));
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> fields;
        std::istringstream cells(line);
        for (std::string cell; std::getline(cells, cell, '\t');)
            fields.push_back(cell);
        rows.push_back(fields);
    }
    return rows;
}

// Loaded modules whose arguments mention the virtual microphone.
inline std::vector<std::string> micModules() {
    std::vector<std::string> found;
    for (const auto& row : shortList("modules"))
        if (row.size() > 2 && row[2].find("voxlet_mic") != std::string::npos)
            found.push_back(row[0] + " " + row[1]);
    return found;
}

// The short-list row of a source, empty when there is none.
inline std::vector<std::string> source(const std::string& name) {
    for (const auto& row : shortList("sources"))
        if (row.size() > 1 && row[1] == name)
            return row;
    return {};
}

inline std::string trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}
inline std::string defaultSink() {
    return trim(pactl({"get-default-sink"}));
}
inline std::string defaultSource() {
    return trim(pactl({"get-default-source"}));
}

// Records a device with parec until stop(); 48 kHz signed 16-bit.
class Recorder {
  public:
    Recorder(const std::string& device, int channels)
        : mChannels(channels), mParec("/usr/bin/parec", {"-d", device, "--rate=48000",
                                                         "--channels=" + std::to_string(channels),
                                                         "--format=s16le", "--latency-msec=10"}) {}
    // The first channel's samples.
    std::vector<int16_t> stop() {
        mParec.signal(SIGINT);
        mParec.wait();
        const std::string raw = mParec.out();
        std::vector<int16_t> all(raw.size() / 2);
        std::memcpy(all.data(), raw.data(), all.size() * 2);
        std::vector<int16_t> first;
        for (size_t i = 0; i < all.size(); i += size_t(mChannels))
            first.push_back(all[i]);
        return first;
    }

  private:
    int mChannels;
    Child mParec;
};

inline void sleepMs(int ms) {
    timespec t{ms / 1000, long(ms % 1000) * 1000000L};
    nanosleep(&t, nullptr);
}

// Calls `tick` every `periodUs` on an absolute clock, `count` times.
template <typename Tick> void paced(int count, long periodUs, Tick tick) {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    for (int i = 0; i < count; ++i) {
        tick(i);
        t.tv_nsec += periodUs * 1000;
        t.tv_sec += t.tv_nsec / 1000000000L;
        t.tv_nsec %= 1000000000L;
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr);
    }
}

// A signal that makes every lost, repeated or altered sample visible: sample n
// of the stream is n mod kCounterPeriod + 1 (never 0, so silence stands out).
constexpr int kCounterPeriod = 30000;
inline void counterFrame(int16_t* out, int samples, long& next) {
    for (int i = 0; i < samples; ++i, ++next)
        out[i] = int16_t(next % kCounterPeriod + 1);
}

// How a recorded counter signal deviates from a continuous one. Silence before
// the first and after the last counter sample is not counted.
struct Continuity {
    size_t counted = 0;      // counter samples recorded
    size_t silentGaps = 0;   // runs of zeros inside the signal
    std::vector<long> jumps; // other breaks: samples skipped (> 0) or repeated (< 0)
};

inline Continuity continuity(const std::vector<int16_t>& s) {
    Continuity c;
    size_t i = 0;
    while (i < s.size() && s[i] == 0)
        ++i;
    if (i == s.size())
        return c;
    c.counted = 1;
    int16_t last = s[i];
    bool inGap = false;
    for (++i; i < s.size(); ++i) {
        if (s[i] == 0) {
            inGap = true;
            continue;
        }
        if (inGap)
            ++c.silentGaps;
        inGap = false;
        ++c.counted;
        long step = (long(s[i]) - long(last) + kCounterPeriod) % kCounterPeriod;
        if (step != 1) {
            long skipped = step - 1;
            if (skipped > kCounterPeriod / 2)
                skipped -= kCounterPeriod;
            c.jumps.push_back(skipped);
        }
        last = s[i];
    }
    return c;
}

// Frequency (interpolated zero crossings) and peak level of the non-silent
// middle of a recorded tone.
struct Tone {
    double hz = 0;
    double dbfs = -200;
};

inline Tone measureTone(const std::vector<int16_t>& s, size_t skipSamples = 4800) {
    size_t begin = 0, end = s.size();
    while (begin < end && s[begin] == 0)
        ++begin;
    while (end > begin && s[end - 1] == 0)
        --end;
    begin += skipSamples;
    if (end < begin + skipSamples + 4800)
        return {};
    end -= skipSamples;
    double energy = 0;
    for (size_t i = begin; i < end; ++i)
        energy += double(s[i]) * s[i];
    Tone t;
    t.dbfs = 20 * std::log10(std::sqrt(2 * energy / double(end - begin)) / 32768.0);
    double first = -1, last = -1;
    int crossings = 0;
    for (size_t i = begin + 1; i < end; ++i) {
        if (s[i - 1] < 0 && s[i] >= 0) {
            double at = double(i - 1) + double(-s[i - 1]) / double(s[i] - s[i - 1]);
            if (first < 0)
                first = at;
            last = at;
            ++crossings;
        }
    }
    if (crossings > 1)
        t.hz = 48000.0 * (crossings - 1) / (last - first);
    return t;
}

} // namespace pulsetest

namespace pulsetest {

// Onsets of clicks: the first sample above `threshold` after at least
// `quiet` samples below it.
inline std::vector<size_t> clickOnsets(const std::vector<int16_t>& s, int threshold = 8000,
                                       size_t quiet = 4800) {
    std::vector<size_t> onsets;
    size_t lastLoud = 0;
    bool any = false;
    for (size_t i = 0; i < s.size(); ++i) {
        if (std::abs(int(s[i])) < threshold)
            continue;
        if (!any || i - lastLoud > quiet)
            onsets.push_back(i);
        lastLoud = i;
        any = true;
    }
    return onsets;
}

// Polls until the source exists (true) or `timeoutMs` passed.
inline bool waitForSource(const std::string& name, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 100) {
        if (!source(name).empty())
            return true;
        sleepMs(100);
    }
    return false;
}

} // namespace pulsetest
