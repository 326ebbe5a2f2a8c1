// Fakes of the window's ui/ interfaces: plain values the tests read, a UI
// thread whose queue the test runs by hand, and an alert that records its
// messages and can run a test's code while it is open.
#pragma once

#include "ui/Alert.h"
#include "ui/Browser.h"
#include "ui/CheckBox.h"
#include "ui/ProgressIndicator.h"
#include "ui/PushButton.h"
#include "ui/TextField.h"
#include "ui/UiThread.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

struct FakeTextField : ui::TextField {
    std::string text;
    std::string stringValue() const override { return text; }
    void setStringValue(const char* t) override { text = t; }
};

struct FakeCheckBox : ui::CheckBox {
    int on = 0;
    int state() const override { return on; }
    void setState(int s) override { on = s; }
};

struct FakePushButton : ui::PushButton {
    bool enabled = true;
    void setEnabled(bool e) override { enabled = e; }
};

struct FakeIndicator : ui::ProgressIndicator {
    bool hidden = true;
    bool spinning = false;
    bool isHidden() const override { return hidden; }
    void setHidden(bool h) override { hidden = h; }
    void startAnimation() override { spinning = true; }
    void stopAnimation() override { spinning = false; }
};

// Queued operations run only when the test, acting as the UI thread, says so.
class FakeUiThread : public ui::UiThread {
  public:
    void performLater(std::function<void()> op) override {
        std::lock_guard<std::mutex> lock(mMutex);
        mQueue.push_back(std::move(op));
        ++mPosted;
        mChanged.notify_all();
    }

    // Runs what is queued, including what the runs queue; returns how many ran.
    int runAll() {
        int ran = 0;
        for (std::function<void()> op; take(op); ++ran)
            op();
        return ran;
    }

    // Waits until `count` operations have been queued in all.
    bool waitForPosted(int count) {
        std::unique_lock<std::mutex> lock(mMutex);
        return mChanged.wait_for(lock, std::chrono::seconds(60), [&] { return mPosted >= count; });
    }

    int posted() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mPosted;
    }

  private:
    bool take(std::function<void()>& op) {
        std::lock_guard<std::mutex> lock(mMutex);
        if (mQueue.empty())
            return false;
        op = std::move(mQueue.front());
        mQueue.pop_front();
        return true;
    }

    std::mutex mMutex; // the reporting threads against the test's thread
    std::condition_variable mChanged;
    std::deque<std::function<void()>> mQueue;
    int mPosted = 0;
};

// `whileOpen` runs inside the next alert, as a platform's modal loop runs
// queued work; it is used once.
struct FakeAlert : ui::Alert {
    std::vector<std::string> messages;
    int open = 0;
    int maxOpen = 0;
    std::function<void()> whileOpen;

    void runModal(const char* message) override {
        messages.push_back(message);
        maxOpen = std::max(maxOpen, ++open);
        if (auto hook = std::exchange(whileOpen, nullptr))
            hook();
        --open;
    }
};

struct FakeBrowser : ui::Browser {
    std::vector<std::string> opened;
    bool openUrl(const char* url) override {
        opened.push_back(url);
        return true;
    }
};
