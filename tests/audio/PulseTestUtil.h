// Helpers for the tests against a private sound server (PulseAudio started by
// scripts/lib/pulse.sh or PipeWire by scripts/lib/pipewire.sh, reached through
// PULSE_SERVER): pactl queries, a parec recorder, a paced writer, a counter
// signal that shows every lost, repeated or altered sample, and servers of a
// test's own of the same kind.
#pragma once

#include "Child.h"
#include "Kit.h"
#include "SystenInfo.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace pulsetest {
using namespace kit;

inline std::string pactl(const std::vector<std::string>& args) {
    Child p("/usr/bin/pactl", args);
    p.wait();
    return p.out();
}

// Whether the shared private server is PipeWire's (then the source is a node
// of the client's own: no modules, no feed sink). Decided at the first call,
// which whyNoPrivateServer makes before any test points elsewhere.
inline bool onPipeWire() {
    static const bool pipewire = pactl({"info"}).find("on PipeWire") != std::string::npos;
    return pipewire;
}

// Why a test must skip, or empty when a private server answers. Without
// PULSE_SERVER the modules would land in this machine's own server.
inline std::string whyNoPrivateServer() {
    const char* server = std::getenv("PULSE_SERVER");
    if (!server || !*server)
        return "PULSE_SERVER is unset: refusing to touch this machine's sound server";
    if (Child("/usr/bin/pactl", {"info"}).wait() != 0)
        return std::string("no sound server answers at ") + server;
    onPipeWire();
    return "";
}

inline void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Polls `done` until it holds (true) or `timeoutMs` passed.
template <typename Pred> bool eventually(Pred done, int timeoutMs = 2000) {
    for (int waited = 0; !done(); waited += 50, sleepMs(50))
        if (waited >= timeoutMs)
            return false;
    return true;
}

// A server of the test's own, of the shared one's kind, in a private
// directory: this process and the programs it starts reach it instead while
// the object lives. Stopped and removed however the test ends.
class OwnServer {
  public:
    OwnServer() {
        char tmpl[] = "/tmp/voxlet-own-server.XXXXXX";
        mDir = mkdtemp(tmpl) ? tmpl : ""; // the scripts refuse no directory
        if (onPipeWire()) {
            set("PULSE_SERVER", "unix:" + mDir + "/run/pulse/native");
            set("PIPEWIRE_RUNTIME_DIR", mDir + "/run");
        } else {
            set("PULSE_SERVER", "unix:" + mDir + "/native");
        }
    }
    ~OwnServer() {
        run("stop");
        std::filesystem::remove_all(mDir);
        for (const auto& [name, old] : mOld)
            old.empty() ? unsetenv(name.c_str()) : setenv(name.c_str(), old.c_str(), 1);
    }
    // The kind's script's _start or _stop (`what`) on the directory: its status.
    int run(const std::string& what) {
        const std::string kind = onPipeWire() ? "pipewire" : "pulse";
        return Child("/bin/bash", {"-c",
                                   "source '" VOXLET_SOURCE_DIR "/scripts/lib/" + kind +
                                       ".sh' && " + kind + "_" + what + " \"$0\"",
                                   mDir})
            .wait(std::chrono::milliseconds(20000));
    }

  private:
    void set(const std::string& name, const std::string& value) {
        const char* old = std::getenv(name.c_str());
        mOld.emplace_back(name, old ? old : "");
        setenv(name.c_str(), value.c_str(), 1);
    }
    std::string mDir;
    std::vector<std::pair<std::string, std::string>> mOld;
};

// Rows of `pactl list short what` whose second field is `name` (all rows if empty).
inline std::vector<std::vector<std::string>> shortList(const std::string& what,
                                                       const std::string& name = "") {
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(pactl({"list", "short", what}));
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> fields;
        std::istringstream cells(line);
        for (std::string cell; std::getline(cells, cell, '\t');)
            fields.push_back(cell);
        if (name.empty() || (fields.size() > 1 && fields[1] == name))
            rows.push_back(fields);
    }
    return rows;
}

// Loaded modules whose arguments mention the virtual microphone: "index name".
inline std::vector<std::string> micModules() {
    std::vector<std::string> found;
    for (const auto& row : shortList("modules"))
        if (row.size() > 2 && row[2].find("voxlet_mic") != std::string::npos)
            found.push_back(row[0] + " " + row[1]);
    return found;
}

inline void unloadMicModules() {
    for (const std::string& m : micModules())
        pactl({"unload-module", m.substr(0, m.find(' '))});
}

inline bool hasSource(const std::string& name) {
    return !shortList("sources", name).empty();
}

inline bool waitForMic(int timeoutMs = 30000) {
    return eventually([] { return hasSource("voxlet_mic"); }, timeoutMs);
}

// Whether the source and everything made for it are gone (a node goes with
// its client a moment after the connection closed).
inline bool micGone() {
    return eventually([] { return micModules().empty() && !hasSource("voxlet_mic"); });
}

inline std::string defaultDevice(const char* which) {
    std::string s = pactl({which});
    return s.substr(0, s.find('\n'));
}

// How often the threads of process `pid` named `comm` (all of them when
// empty, but `skip`) have been switched out so far (each wake-up costs at
// least one), or -1 when there is no such thread.
inline long threadSwitches(pid_t pid, const std::string& comm = "", const std::string& skip = "") {
    long total = -1;
    std::error_code ec;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        std::string name, line;
        if (!std::getline(std::ifstream(task.path() / "comm"), name) ||
            (!comm.empty() && name != comm) || name == skip)
            continue;
        std::ifstream status(task.path() / "status");
        total = std::max(total, 0L);
        while (std::getline(status, line))
            if (line.find("ctxt_switches:") != std::string::npos) // voluntary and not
                total += std::stol(line.substr(line.find(':') + 1));
    }
    return total;
}

// Records a device with parec until stop(): 48 kHz signed 16-bit, the first
// of `channels` (a downmix to mono need not keep the samples exact).
class Recorder {
  public:
    explicit Recorder(const std::string& device, int channels = 1)
        : mChannels(channels), mParec("/usr/bin/parec", {"-d", device, "--rate=48000",
                                                         "--channels=" + std::to_string(channels),
                                                         "--format=s16le", "--latency-msec=10"}) {}
    std::vector<int16_t> stop() {
        mParec.signal(SIGINT);
        mParec.wait();
        const std::string raw = mParec.out();
        std::vector<int16_t> first(raw.size() / 2 / size_t(mChannels));
        for (size_t i = 0; i < first.size(); ++i)
            std::memcpy(&first[i], raw.data() + 2 * i * size_t(mChannels), 2);
        return first;
    }

  private:
    int mChannels;
    Child mParec;
};

// Calls `tick` every `periodUs` on an absolute clock, `count` times, at the
// playout tick's real-time priority where the system grants it: on a loaded
// machine a late writer, not the feed, would otherwise make the gaps counted.
template <typename Tick> void paced(int count, long periodUs, Tick tick) {
    std::thread([&] {
        useRealtimeScheduling();
        auto next = std::chrono::steady_clock::now();
        for (int i = 0; i < count; ++i) {
            tick(i);
            std::this_thread::sleep_until(next += std::chrono::microseconds(periodUs));
        }
    }).join();
}

// Sample n of the counter signal is n mod kCounterPeriod + 1 (never 0, so
// silence stands out).
constexpr int kCounterPeriod = 30000;
inline void counterFrame(int16_t* out, int samples, long& next) {
    for (int i = 0; i < samples; ++i, ++next)
        out[i] = int16_t(next % kCounterPeriod + 1);
}

// How a recorded counter signal deviates from a continuous one; silence
// before the first and after the last counter sample is not counted.
struct Continuity {
    size_t counted = 0;      // counter samples recorded
    size_t silentGaps = 0;   // runs of zeros inside the signal
    std::vector<long> jumps; // other breaks: samples skipped (> 0) or repeated (< 0)
};

inline Continuity continuity(const std::vector<int16_t>& s) {
    Continuity c;
    int16_t last = 0;
    bool inGap = false;
    for (int16_t v : s) {
        if (v == 0) {
            inGap = c.counted > 0;
            continue;
        }
        if (c.counted++ == 0) {
            last = v;
            continue;
        }
        c.silentGaps += inGap;
        inGap = false;
        long skipped = (long(v) - long(last) + kCounterPeriod) % kCounterPeriod - 1;
        if (skipped != 0)
            c.jumps.push_back(skipped > kCounterPeriod / 2 ? skipped - kCounterPeriod : skipped);
        last = v;
    }
    return c;
}

} // namespace pulsetest
