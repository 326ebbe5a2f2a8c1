// voxlet-cli: the Voxlet client without a window. Same settings file, same
// session controller, same messages; prints each state report as it arrives.
#include "MicController.h"
#include "PlayerCallback.h"
#include "SessionError.h"
#include "Settings.h"
#include "Statistics.h"
#include "Utils.h"
#include "voxlet_version.h"
#include "vx_socket.h"

#include <darwin/VirtualMicrophone.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <getopt.h>
#include <mutex>
#include <pthread.h>
#include <string>
#include <thread>
#include <utility>

namespace {

const char* kUsage =
    "usage: voxlet-cli [--address ADDR] [--control-port N] [--media-port N]\n"
    "                  [--speaker | --no-speaker] [--duration SECONDS] [--stats]\n"
    "                  [--reconnect] [--verbose]\n"
    "                  [--settings-dir DIR | --user-settings] [--help] [--version]\n"
    "\n"
    "Streams the phone's microphone into the virtual microphone until Ctrl-C\n"
    "(or for SECONDS once connected). Options override \"settings.dat\", which is\n"
    "read but never written: from the working directory, from DIR, or with\n"
    "--user-settings from $XDG_CONFIG_HOME/voxlet (~/.config/voxlet when unset).\n"
    "\"Voxlet Microphone\" exists from start to exit, silent between sessions.\n"
    "\n"
    "  --reconnect  after a session ends with an error, start a new one after\n"
    "               1, 2, 4, 8, 16, then every 30 s (1 s again after a session\n"
    "               that streamed 10 s or more); Ctrl-C ends it with status 0\n"
    "  --verbose    once a second while streaming: peak level (dBFS), frames\n"
    "               queued, frames dropped late, repeated frames, and latency\n"
    "               (queue wait plus the sound server's delay to the source)\n"
    "\n"
    "As a systemd user service: systemctl --user enable --now voxlet-cli.service\n"
    "(installed with the program; it runs voxlet-cli --user-settings --reconnect).\n";

// SIGINT and SIGTERM taken so far: counted by the signal thread, read by the
// main thread.
std::atomic<int> gSignals{0};

using Clock = std::chrono::steady_clock;

// State reports arrive on the controller's threads; they are queued here and
// printed by the main thread, so the callback returns at once. A signal wakes
// the main thread here too, so it waits on events, never on a clock it polls.
class ReportQueue : public PlayerCallback {
  public:
    void notifyStateChange(int state, int error) override {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mReports.emplace_back(state, error);
        }
        mChanged.notify_one();
    }

    void signalled() {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mSignalled = true;
        }
        mChanged.notify_one();
    }

    // Waits until `until` for a report; false when none came (a signal or
    // the time ends the wait).
    bool next(std::pair<int, int>* report, Clock::time_point until) {
        std::unique_lock<std::mutex> lock(mMutex);
        auto woken = [this] { return !mReports.empty() || mSignalled; };
        if (until == Clock::time_point::max())
            mChanged.wait(lock, woken);
        else
            mChanged.wait_until(lock, until, woken);
        mSignalled = false;
        if (mReports.empty())
            return false;
        *report = mReports.front();
        mReports.pop_front();
        return true;
    }

  private:
    std::mutex mMutex; // guards mReports and mSignalled: controller threads and
                       // the signal thread push, the main thread pops
    std::condition_variable mChanged;
    std::deque<std::pair<int, int>> mReports;
    bool mSignalled = false;
};

// Never freed: the signal thread may use it until the process ends.
ReportQueue& reportQueue() {
    static ReportQueue* queue = new ReportQueue;
    return *queue;
}

// SIGINT and SIGTERM are blocked in every thread (the mask is inherited, so
// this runs before any other thread starts) and taken by one thread of ours
// that sleeps in sigwait, so the main thread can sleep on the report queue.
void takeSignalsOnAThread() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set] {
        pthread_setname_np(pthread_self(), "vx-signals");
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0)
                continue;
            gSignals.fetch_add(1);
            reportQueue().signalled();
        }
    }).detach();
}

struct Options {
    const char* address = nullptr;
    long controlPort = -1, mediaPort = -1, duration = -1;
    int speaker = -1;
    bool stats = false, reconnect = false, verbose = false;
    bool help = false, version = false;
    std::string settingsFile = Settings::kFileName;
};

// The directory a desktop keeps per-user settings in, or "" without a home.
std::string userSettingsDir() {
    const char* config = getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/')
        return std::string(config) + "/voxlet";
    const char* home = getenv("HOME");
    return home && *home ? std::string(home) + "/.config/voxlet" : std::string();
}

// One option: its name, whether it takes a value, and how it applies the
// value; apply returns what was wrong, or nullptr.
struct OptionSpec {
    const char* name;
    bool takesValue;
    const char* (*apply)(Options* o, const char* value);
};

const char* takePort(const char* value, long* port) {
    return parseIntInRange(value, 1, 65535, port) ? nullptr : "needs a port number from 1 to 65535";
}

const char* takeSettingsDir(Options* o, const std::string& dir) {
    if (dir.empty())
        return "needs a directory (or HOME, or an absolute XDG_CONFIG_HOME)";
    o->settingsFile = dir + "/" + Settings::kFileName;
    return nullptr;
}

// --help comes first: -h stands for it.
const OptionSpec kOptions[] = {
    {"help", false,
     [](Options* o, const char*) -> const char* {
         o->help = true;
         return nullptr;
     }},
    {"version", false,
     [](Options* o, const char*) -> const char* {
         o->version = true;
         return nullptr;
     }},
    {"address", true,
     [](Options* o, const char* v) -> const char* {
         o->address = v;
         return nullptr;
     }},
    {"control-port", true, [](Options* o, const char* v) { return takePort(v, &o->controlPort); }},
    {"media-port", true, [](Options* o, const char* v) { return takePort(v, &o->mediaPort); }},
    {"speaker", false,
     [](Options* o, const char*) -> const char* {
         o->speaker = 1;
         return nullptr;
     }},
    {"no-speaker", false,
     [](Options* o, const char*) -> const char* {
         o->speaker = 0;
         return nullptr;
     }},
    {"duration", true,
     [](Options* o, const char* v) -> const char* {
         return parseIntInRange(v, 0, 1000000000L, &o->duration)
                    ? nullptr
                    : "needs a whole number of seconds";
     }},
    {"stats", false,
     [](Options* o, const char*) -> const char* {
         o->stats = true;
         return nullptr;
     }},
    {"reconnect", false,
     [](Options* o, const char*) -> const char* {
         o->reconnect = true;
         return nullptr;
     }},
    {"verbose", false,
     [](Options* o, const char*) -> const char* {
         o->verbose = true;
         return nullptr;
     }},
    {"settings-dir", true, [](Options* o, const char* v) { return takeSettingsDir(o, v); }},
    {"user-settings", false,
     [](Options* o, const char*) { return takeSettingsDir(o, userSettingsDir()); }},
};

constexpr int kOptionCount = sizeof kOptions / sizeof kOptions[0];
constexpr int kFirstOption = 256; // above every character getopt_long returns

// Fills `o` from the command line (--name value or --name=value); returns
// what was wrong, or "".
std::string parseOptions(int argc, char** argv, Options* o) {
    option longOptions[kOptionCount + 1] = {};
    for (int i = 0; i < kOptionCount; ++i)
        longOptions[i] = {kOptions[i].name,
                          kOptions[i].takesValue ? required_argument : no_argument, nullptr,
                          kFirstOption + i};
    // The reasons are ours (opterr); '+' stops at a stray argument, ':' tells
    // a missing value from an unknown option.
    opterr = 0;
    for (int index; (index = getopt_long(argc, argv, "+:h", longOptions, nullptr)) != -1;) {
        // optopt is a short option's letter, or 0 or a long option's value.
        std::string given =
            optopt > 0 && optopt < 256 ? std::string("-") + (char)optopt : argv[optind - 1];
        if (index == 'h')
            index = kFirstOption;
        if (index == ':')
            return given + " needs a value";
        if (index == '?')
            return "unknown option or unexpected value: " + given;
        const OptionSpec& spec = kOptions[index - kFirstOption];
        if (const char* problem = spec.apply(o, spec.takesValue ? optarg : nullptr))
            return std::string("--") + spec.name + " " + problem;
    }
    if (optind < argc)
        return std::string("unexpected argument ") + argv[optind];
    return "";
}

// The waits between sessions under --reconnect: 1, 2, 4, 8, 16, then 30 s;
// from 1 s again after a session that streamed long enough to count as good.
class ReconnectDelay {
  public:
    static constexpr auto kGoodSession = std::chrono::seconds(10);

    int next(std::chrono::steady_clock::duration streamed) {
        if (streamed >= kGoodSession)
            mFailures = 0;
        static const int kSteps[] = {1, 2, 4, 8, 16, 30};
        const int last = int(sizeof kSteps / sizeof kSteps[0]) - 1;
        return kSteps[mFailures < last ? mFailures++ : last];
    }

  private:
    int mFailures = 0;
};

// Sleeps `seconds` unless a signal arrives first; false when one did. No
// session runs, so no report can end the wait early.
bool sleepUnlessSignalled(int seconds) {
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    std::pair<int, int> stray;
    while (gSignals == 0 && Clock::now() < until)
        reportQueue().next(&stray, until);
    return gSignals == 0;
}

// One --verbose line: what reaches the virtual microphone now.
void printLiveStatus(MicController& controller) {
    int peak = controller.getLevelPeak();
    int queued = controller.getQueuedFrames();
    int64_t backendUs = darwin::virtualMicrophoneLatencyUs();
    char level[32], latency[32];
    if (peak > 0)
        snprintf(level, sizeof level, "%.1f dBFS", 20.0 * std::log10(peak / 32768.0));
    else
        snprintf(level, sizeof level, "-inf dBFS");
    if (backendUs >= 0)
        snprintf(latency, sizeof latency, "%lld ms",
                 (long long)(queued * MicController::kFramePeriodMs + backendUs / 1000));
    else
        snprintf(latency, sizeof latency, "unknown");
    printf("level %s, queue %d, late %d, repeated %d, latency %s\n", level, queued,
           controller.getLateDrops(), controller.getRepeats(), latency);
}

struct SessionEnd {
    int error = 0;
    bool interrupted = false; // a signal asked the program to end
    std::chrono::steady_clock::duration streamed{};
};

// How long a stop may take before the socket waits are abandoned: a phone
// that went silent would otherwise hold the pump in its 3 s receive wait.
constexpr auto kStopGrace = std::chrono::milliseconds(500);

// Runs one session to its end, printing its reports. A signal stops it: at
// once when connected; while connecting, by abandoning the socket waits, so
// the connection fails at once instead of running to its limit; otherwise
// (aborting, or a stop held up) by abandoning them after kStopGrace.
SessionEnd runSession(MicController& controller, ReportQueue& reports, long duration,
                      bool verbose) {
    SessionEnd end;
    int state = StateConnecting;
    bool stopSent = false;
    auto connectedAt = Clock::time_point::max();
    auto nextStatus = Clock::time_point::max();
    auto abandonAt = Clock::time_point::max();
    for (;;) {
        // The next thing due without a report: a status line, the end of
        // --duration, abandoning a held-up stop.
        auto until = abandonAt;
        if (verbose && state == StateConnected)
            until = std::min(until, nextStatus);
        if (duration >= 0 && state == StateConnected && !stopSent)
            until = std::min(until, connectedAt + std::chrono::seconds(duration));
        std::pair<int, int> report;
        if (reports.next(&report, until)) {
            state = report.first;
            printf("state %d\n", state);
            if (report.second != 0)
                printf("error %d: %s\n", report.second, getErrText(report.second));
            if (state == StateConnected) {
                connectedAt = Clock::now();
                nextStatus = connectedAt + std::chrono::seconds(1);
            } else if (connectedAt != Clock::time_point::max() && end.streamed.count() == 0) {
                end.streamed = Clock::now() - connectedAt; // it left state 2 just now
            }
            if (state == StateIdle) {
                end.error = report.second;
                return end;
            }
        }
        if (gSignals >= 2) {
            fprintf(stderr, "voxlet-cli: interrupted twice, quitting at once\n");
            std::_Exit(130);
        }
        bool stopAsked = false;
        if (gSignals > 0) {
            if (!end.interrupted)
                abandonAt = Clock::now() + kStopGrace;
            end.interrupted = stopAsked = true;
            if (state == StateConnecting || Clock::now() >= abandonAt) {
                vx_socket_abandon_waits();
                abandonAt = Clock::time_point::max();
            }
        }
        if (duration >= 0 && Clock::now() - connectedAt >= std::chrono::seconds(duration))
            stopAsked = true;
        if (stopAsked && !stopSent && state == StateConnected) {
            controller.stop();
            stopSent = true;
        }
        if (verbose && state == StateConnected && Clock::now() >= nextStatus) {
            printLiveStatus(controller);
            nextStatus += std::chrono::seconds(1);
        }
    }
}

int usage(const std::string& problem) {
    fprintf(stderr, "voxlet-cli: %s\n", problem.c_str());
    fputs(kUsage, stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);

    Options options;
    std::string problem = parseOptions(argc, argv, &options);
    if (!problem.empty())
        return usage(problem);
    if (options.help) {
        fputs(kUsage, stdout);
        return 0;
    }
    if (options.version) {
        puts("voxlet-cli " VOXLET_VERSION);
        return 0;
    }

    Settings::setFilePath(options.settingsFile);
    Settings::readSettings();
    if (options.address && (!Settings::isUsableAddress(options.address) ||
                            !Settings::setWifiServerAddr(options.address))) {
        fprintf(stderr, "%s\n", kInvalidAddressText);
        return 2;
    }
    if (options.controlPort >= 0)
        Settings::setControlPort((int)options.controlPort);
    if (options.mediaPort >= 0)
        Settings::setMediaPort((int)options.mediaPort);
    if (options.speaker >= 0)
        Settings::setPlayLocally(options.speaker == 1);
    Settings::setTransportType(3);
    if (Settings::getWifiServerAddr()[0] == '\0') {
        fprintf(stderr, "%s\n", kInvalidAddressText);
        return 2;
    }

    takeSignalsOnAThread();

    // The virtual microphone lives from here to exit, across sessions.
    darwin::VirtualMicrophoneScope microphone;
    ReportQueue& reports = reportQueue();
    int status = 0;
    {
        MicController controller(&reports);
        ReconnectDelay delay;
        for (;;) {
            if (controller.start() != 0) {
                fprintf(stderr, "voxlet-cli: the session could not be started\n");
                return 1;
            }
            SessionEnd end = runSession(controller, reports, options.duration, options.verbose);
            status = end.interrupted || end.error == 0 ? 0 : 1;
            if (status == 0 || !options.reconnect)
                break;
            int wait = delay.next(end.streamed);
            printf("reconnecting in %d s\n", wait);
            if (!sleepUnlessSignalled(wait)) {
                status = 0;
                break;
            }
        }
    }
    if (options.stats)
        Statistics::getInstance()->print();
    return status;
}
