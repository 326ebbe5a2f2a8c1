// The window's controller: turns the user's actions into settings updates and
// session requests, and the session controller's state reports into buttons,
// busy indicators and alerts. It is written against the small interfaces of
// ui/, so the same logic drives the Qt window and the fakes of the tests.
//
// Threads: everything runs on the UI thread except onStateChange, which the
// session controller's start, stop and abort threads call. That one only
// stores the report in mReport (one atomic word) and queues a refresh through
// the UiThread; it touches no control and no other field.
#pragma once

#include "ui/Alert.h"
#include "ui/Browser.h"
#include "ui/CheckBox.h"
#include "ui/ProgressIndicator.h"
#include "ui/PushButton.h"
#include "ui/TextField.h"
#include "ui/UiThread.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

class MicController;
class MyPlayerCallback;

class vxAppDelegate {
  public:
    // How long quitting waits for a running session to end.
    static constexpr int kQuitWaitMs = 5000;

    // The three services must outlive the controller; the controls are set
    // through their setters and may go away at any time (weak references).
    vxAppDelegate(ui::UiThread* uiThread, ui::Alert* alert, ui::Browser* browser);
    // Ends a running session first, as quitting does.
    ~vxAppDelegate();
    vxAppDelegate(const vxAppDelegate&) = delete;
    vxAppDelegate& operator=(const vxAppDelegate&) = delete;

    // Application notifications (UI thread).
    void applicationDidFinishLaunching();
    // Quitting: a running session is ended as Disconnect would end it, waiting
    // at most kQuitWaitMs for state 0, so no session thread outlives the
    // process's exit and no virtual microphone is left behind.
    void applicationWillTerminate();

    // Actions (UI thread).
    void onConnect();
    void onDisconnect();
    void onPlayInSpeaker();
    void onHelp();

    void updatePanel();
    void showError(const char* text);
    static const char* getErrText(int code);

    // Any thread: records the pair and queues onStateChangeInternal.
    void onStateChange(int state, int error);
    // UI thread: applies the latest recorded pair.
    void onStateChangeInternal();

    // The latest recorded pair.
    int getMState() const;
    int getMError() const;

    // UI thread: one line on what the session does now, from the latest
    // report (idle, connecting to ADDRESS:PORT, streaming from ADDRESS, or
    // the last error's message).
    std::string statusText() const;

    const std::string& getHelpUrl() const { return mHelpUrl; }
    void setHelpUrl(std::string url) { mHelpUrl = std::move(url); }
    MicController* getController() const { return mController.get(); }

    ui::TextField* getMTargetAddressField() const { return mTargetAddressField; }
    void setMTargetAddressField(ui::TextField* c) { mTargetAddressField = c; }
    ui::TextField* getMControlPortText() const { return mControlPortText; }
    void setMControlPortText(ui::TextField* c) { mControlPortText = c; }
    ui::TextField* getMMediaPortText() const { return mMediaPortText; }
    void setMMediaPortText(ui::TextField* c) { mMediaPortText = c; }
    ui::ProgressIndicator* getMConnectingIndicator() const { return mConnectingIndicator; }
    void setMConnectingIndicator(ui::ProgressIndicator* c) { mConnectingIndicator = c; }
    ui::ProgressIndicator* getMDisconnectingIndicator() const { return mDisconnectingIndicator; }
    void setMDisconnectingIndicator(ui::ProgressIndicator* c) { mDisconnectingIndicator = c; }
    ui::CheckBox* getMLocalPlayButton() const { return mLocalPlayButton; }
    void setMLocalPlayButton(ui::CheckBox* c) { mLocalPlayButton = c; }
    ui::PushButton* getMConnectButton() const { return mConnectButton; }
    void setMConnectButton(ui::PushButton* c) { mConnectButton = c; }
    ui::PushButton* getMDisconnectButton() const { return mDisconnectButton; }
    void setMDisconnectButton(ui::PushButton* c) { mDisconnectButton = c; }

  private:
    void drainRefreshes();
    void applyLatestReport();
    void hideIndicator(ui::ProgressIndicator* indicator);
    void showIndicator(ui::ProgressIndicator* indicator);
    void setButtons(bool connect, bool disconnect);

    // The session controller and its callback: created at launch, released
    // only when this object goes (the callback after the controller).
    std::unique_ptr<MyPlayerCallback> mCallback;
    std::unique_ptr<MicController> mController;

    // The latest report as one word, so a refresh never mixes the state of one
    // report with the error of another: report number (bits 63..32), state
    // (31..16) and error (15..0), each a signed 16-bit value saturated from the
    // int given. The number tells a new report from one already applied.
    // Written by the reporting threads, read by the UI thread.
    std::atomic<uint64_t> mReport{0};

    // UI thread only. A refresh delivered while an alert is open (the modal
    // loop keeps running queued operations) or while another refresh runs is
    // counted here and run after the alert is dismissed, in order.
    int mPendingRefreshes = 0;
    bool mAlertOpen = false;
    bool mSaveFailureShown = false; // UI thread: a failed settings write was reported
    bool mRefreshing = false;
    uint32_t mAppliedReport = 0;  // number of the last report applied
    bool mAwaitingReport = false; // Connect pressed, no report applied since

    ui::UiThread* mUiThread; // set at construction, read from any thread
    ui::Alert* mAlert;
    ui::Browser* mBrowser;
    std::string mHelpUrl;

    // Controls (UI thread only); the window owns them.
    ui::TextField* mTargetAddressField = nullptr;
    ui::TextField* mControlPortText = nullptr;
    ui::TextField* mMediaPortText = nullptr;
    ui::ProgressIndicator* mConnectingIndicator = nullptr;
    ui::ProgressIndicator* mDisconnectingIndicator = nullptr;
    ui::CheckBox* mLocalPlayButton = nullptr;
    ui::PushButton* mConnectButton = nullptr;
    ui::PushButton* mDisconnectButton = nullptr;
};
