// voxlet-cli: the Voxlet client without a window. Same settings file, same
// session controller, same messages; prints each state report as it arrives.
#include "MicController.h"
#include "PlayerCallback.h"
#include "SessionError.h"
#include "Settings.h"
#include "Statistics.h"
#include "Utils.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

namespace {

const char* kUsage = "usage: voxlet-cli [--address ADDR] [--control-port N] [--media-port N]\n"
                     "                  [--speaker | --no-speaker] [--duration SECONDS] [--stats]\n"
                     "\n"
                     "Streams the phone's microphone into the virtual microphone until Ctrl-C\n"
                     "(or for SECONDS once connected). Options override \"settings.dat\" in the\n"
                     "working directory, which is read but never written.\n";

// Written by the signal handler on whichever thread takes the signal, read by
// the main thread: a lock-free atomic, safe in a handler.
std::atomic<int> gSignals{0};
static_assert(std::atomic<int>::is_always_lock_free);

void onSignal(int) {
    gSignals.fetch_add(1);
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
    bool stats = false;
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
            if (!parseIntInRange(value, 1, 65535, target))
                return usage((arg + " needs a port number from 1 to 65535").c_str());
            ++i;
        } else if (arg == "--duration") {
            if (!parseIntInRange(value, 0, 1000000000L, &duration))
                return usage("--duration needs a whole number of seconds");
            ++i;
        } else if (arg == "--speaker") {
            speaker = 1;
        } else if (arg == "--no-speaker") {
            speaker = 0;
        } else if (arg == "--stats") {
            stats = true;
        } else {
            return usage(("unknown option " + arg).c_str());
        }
    }

    Settings::readSettings();
    if (address && (!Settings::isUsableAddress(address) || !Settings::setWifiServerAddr(address))) {
        fprintf(stderr, "%s\n", kInvalidAddressText);
        return 2;
    }
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

    ReportQueue reports;
    int finalError = 0;
    {
        MicController controller(&reports);
        if (controller.start() != 0) {
            fprintf(stderr, "voxlet-cli: the session could not be started\n");
            return 1;
        }
        int state = StateConnecting;
        bool stopAsked = false, stopSent = false;
        auto connectedAt = std::chrono::steady_clock::time_point::max();
        for (;;) {
            std::pair<int, int> report;
            if (reports.next(&report, std::chrono::milliseconds(50))) {
                state = report.first;
                printf("state %d\n", state);
                if (report.second != 0)
                    printf("error %d: %s\n", report.second, getErrText(report.second));
                if (state == StateConnected)
                    connectedAt = std::chrono::steady_clock::now();
                if (state == StateIdle) {
                    finalError = report.second;
                    break;
                }
            }
            if (gSignals >= 2) {
                fprintf(stderr, "voxlet-cli: interrupted twice, quitting at once\n");
                std::_Exit(130);
            }
            if (gSignals > 0)
                stopAsked = true;
            if (duration >= 0 &&
                std::chrono::steady_clock::now() - connectedAt >= std::chrono::seconds(duration))
                stopAsked = true;
            // A stop is honoured only once connected; while connecting it waits.
            if (stopAsked && !stopSent && state == StateConnected) {
                controller.stop();
                stopSent = true;
            }
        }
    }
    if (stats)
        Statistics::getInstance()->print();
    return finalError == 0 ? 0 : 1;
}
