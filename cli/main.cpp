// voxlet-cli: the Voxlet client without a window. Same settings file, same
// session controller, same messages; prints each state report as it arrives.
#include "MicController.h"
#include "PlayerCallback.h"
#include "SessionError.h"
#include "Settings.h"
#include "Statistics.h"
#include "vx_socket.h"

#include <darwin/VirtualMicrophone.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace {

const char* kUsage = "usage: voxlet-cli [--address ADDR] [--control-port N] [--media-port N]\n"
                     "                  [--speaker | --no-speaker] [--duration SECONDS] [--stats]\n"
                     "                  [--reconnect] [--verbose]\n"
                     "\n"
                     "Streams the phone's microphone into the virtual microphone until Ctrl-C\n"
                     "(or for SECONDS once connected). Options override \"settings.dat\" in the\n"
                     "working directory, which is read but never written. \"Voxlet Microphone\"\n"
                     "exists from start to exit, silent between sessions.\n"
                     "\n"
                     "  --reconnect  after a session ends with an error, start a new one after\n"
                     "               1, 2, 4, 8, 16, then every 30 s (1 s again after a session\n"
                     "               that streamed 10 s or more); Ctrl-C ends it with status 0\n"
                     "  --verbose    once a second while streaming: peak level (dBFS), frames\n"
                     "               queued, frames dropped late, repeated frames, and latency\n"
                     "               (queue wait plus the sound server's delay to the source)\n"
                     "\n"
                     "As a systemd user service (~/.config/systemd/user/voxlet.service):\n"
                     "  [Service]\n"
                     "  WorkingDirectory=%h/.config/voxlet\n"
                     "  ExecStart=/usr/bin/voxlet-cli --reconnect\n"
                     "  Restart=on-failure\n"
                     "  [Install]\n"
                     "  WantedBy=default.target\n"
                     "then: systemctl --user enable --now voxlet.service\n";

volatile std::sig_atomic_t gSignals = 0;

void onSignal(int) {
    gSignals = gSignals + 1;
}

// State reports arrive on the controller's threads; they are queued here and
// printed by the main thread, so the callback returns at once.
class ReportQueue : public PlayerCallback {
  public:
    void notifyStateChange(int state, int error) override {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mReports.emplace_back(state, error);
        }
        mChanged.notify_one();
    }

    // Waits up to `timeout` for a report.
    bool next(std::pair<int, int>* report, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mMutex);
        if (!mChanged.wait_for(lock, timeout, [this] { return !mReports.empty(); }))
            return false;
        *report = mReports.front();
        mReports.pop_front();
        return true;
    }

  private:
    std::mutex mMutex; // guards mReports: controller threads push, main thread pops
    std::condition_variable mChanged;
    std::deque<std::pair<int, int>> mReports;
};

bool parseInt(const char* text, long min, long max, long* out) {
    if (!text || !*text)
        return false;
    char* end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < min || value > max)
        return false;
    *out = value;
    return true;
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

// Sleeps `seconds` unless a signal arrives first; false when one did.
bool sleepUnlessSignalled(int seconds) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < until) {
        if (gSignals > 0)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
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
    using Clock = std::chrono::steady_clock;
    SessionEnd end;
    int state = StateConnecting;
    bool stopSent = false;
    auto connectedAt = Clock::time_point::max();
    auto nextStatus = Clock::time_point::max();
    auto abandonAt = Clock::time_point::max();
    for (;;) {
        std::pair<int, int> report;
        if (reports.next(&report, std::chrono::milliseconds(50))) {
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

int usage(const char* problem) {
    if (problem)
        fprintf(stderr, "voxlet-cli: %s\n", problem);
    fputs(kUsage, stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);

    const char* address = nullptr;
    long controlPort = -1, mediaPort = -1, duration = -1;
    int speaker = -1;
    bool stats = false, reconnect = false, verbose = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--help" || arg == "-h") {
            fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--address") {
            if (!value)
                return usage("--address needs a value");
            address = value;
            ++i;
        } else if (arg == "--control-port" || arg == "--media-port") {
            long* target = arg == "--control-port" ? &controlPort : &mediaPort;
            if (!parseInt(value, 1, 65535, target))
                return usage((arg + " needs a port number from 1 to 65535").c_str());
            ++i;
        } else if (arg == "--duration") {
            if (!parseInt(value, 0, 1000000000L, &duration))
                return usage("--duration needs a whole number of seconds");
            ++i;
        } else if (arg == "--speaker") {
            speaker = 1;
        } else if (arg == "--no-speaker") {
            speaker = 0;
        } else if (arg == "--stats") {
            stats = true;
        } else if (arg == "--reconnect") {
            reconnect = true;
        } else if (arg == "--verbose") {
            verbose = true;
        } else {
            return usage(("unknown option " + arg).c_str());
        }
    }

    Settings::readSettings();
    if (address)
        Settings::setWifiServerAddr(address);
    if (controlPort >= 0)
        Settings::setControlPort((int)controlPort);
    if (mediaPort >= 0)
        Settings::setMediaPort((int)mediaPort);
    if (speaker >= 0)
        Settings::setPlayLocally(speaker == 1);
    Settings::setTransportType(3);
    if (Settings::getWifiServerAddr()[0] == '\0') {
        fprintf(stderr, "%s\n", kInvalidAddressText);
        return 2;
    }

    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    // The virtual microphone lives from here to exit, across sessions.
    darwin::VirtualMicrophoneScope microphone;
    ReportQueue reports;
    int status = 0;
    {
        MicController controller(&reports);
        ReconnectDelay delay;
        for (;;) {
            if (controller.start() != 0) {
                fprintf(stderr, "voxlet-cli: the session could not be started\n");
                return 1;
            }
            SessionEnd end = runSession(controller, reports, duration, verbose);
            status = end.interrupted || end.error == 0 ? 0 : 1;
            if (status == 0 || !reconnect)
                break;
            int wait = delay.next(end.streamed);
            printf("reconnecting in %d s\n", wait);
            if (!sleepUnlessSignalled(wait)) {
                status = 0;
                break;
            }
        }
    }
    if (stats)
        Statistics::getInstance()->print();
    return status;
}
