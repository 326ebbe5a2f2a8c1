// A PlayerCallback for tests: records every (state, error) report in order
// and lets the test wait for a given one.
#pragma once

#include "PlayerCallback.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

class StateRecorder : public PlayerCallback {
  public:
    using Report = std::pair<int, int>;

    void notifyStateChange(int state, int error) override {
        std::lock_guard<std::mutex> lock(mMutex);
        mReports.emplace_back(state, error);
        mChanged.notify_all();
    }
    // Waits until a report of `state` has arrived `count` times.
    bool waitFor(int state, int count = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
        std::unique_lock<std::mutex> lock(mMutex);
        return mChanged.wait_for(lock, timeout, [&] {
            return std::count_if(mReports.begin(), mReports.end(),
                                 [&](const Report& r) { return r.first == state; }) >= count;
        });
    }
    bool waitForIdle() { return waitFor(0); } // the end of the session
    std::vector<Report> reports() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mReports;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mMutex);
        mReports.clear();
    }

  private:
    std::mutex mMutex; // guards mReports: controller threads append, the test reads
    std::condition_variable mChanged;
    std::vector<Report> mReports;
};
