#include "vxAppDelegate.h"

#include "MicController.h"
#include "MyPlayerCallback.h"
#include "SessionError.h"
#include "Settings.h"
#include "vx_socket.h"

#include <chrono>
#include <climits>
#include <thread>

namespace {

int16_t saturate16(int value) {
    if (value < INT16_MIN)
        return INT16_MIN;
    if (value > INT16_MAX)
        return INT16_MAX;
    return static_cast<int16_t>(value);
}

uint64_t packReport(uint32_t number, int state, int error) {
    return static_cast<uint64_t>(number) << 32 |
           static_cast<uint64_t>(static_cast<uint16_t>(saturate16(state))) << 16 |
           static_cast<uint16_t>(saturate16(error));
}

uint32_t reportNumber(uint64_t report) {
    return static_cast<uint32_t>(report >> 32);
}
int reportState(uint64_t report) {
    return static_cast<int16_t>(static_cast<uint16_t>(report >> 16));
}
int reportError(uint64_t report) {
    return static_cast<int16_t>(static_cast<uint16_t>(report));
}

} // namespace

vxAppDelegate::vxAppDelegate(ui::UiThread* uiThread, ui::Alert* alert, ui::Browser* browser)
    : mUiThread(uiThread), mAlert(alert), mBrowser(browser) {}

vxAppDelegate::~vxAppDelegate() {
    applicationWillTerminate();
    // The controller's destructor waits for its own threads; only then may the
    // callback they report through go.
    mController.reset();
    mCallback.reset();
}

void vxAppDelegate::applicationDidFinishLaunching() {
    Settings::readSettings();
    mCallback = std::make_unique<MyPlayerCallback>(this);
    mController = std::make_unique<MicController>(mCallback.get());
    updatePanel();
}

void vxAppDelegate::applicationWillTerminate() {
    if (!mController)
        return;
    // A connection being made would hold the quit until it succeeds or gives
    // up, and a phone gone silent holds a stop for the pump's receive wait:
    // quitting abandons the socket waits at once while connecting, and after
    // half a second otherwise.
    using Clock = std::chrono::steady_clock;
    auto abandonAt = Clock::now() + std::chrono::milliseconds(500);
    if (mController->getState() == StateConnecting)
        abandonAt = Clock::now();
    // A stop is only accepted for good once connected (a stop during
    // connecting is dropped by the controller), so wait for state 2 to send it.
    auto deadline = Clock::now() + std::chrono::milliseconds(kQuitWaitMs);
    bool stopSent = false;
    for (;;) {
        int state = mController->getState();
        if (state == StateIdle)
            return;
        if (Clock::now() >= abandonAt) {
            vx_socket_abandon_waits();
            abandonAt = Clock::time_point::max();
        }
        if (state == StateConnected && !stopSent)
            stopSent = mController->stop() == 0;
        if (Clock::now() >= deadline)
            return; // the controller's destructor still ends what remains
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void vxAppDelegate::updatePanel() {
    if (mTargetAddressField)
        mTargetAddressField->setStringValue(Settings::getWifiServerAddr());
    if (mControlPortText)
        mControlPortText->setIntValue(Settings::getControlPort());
    if (mMediaPortText)
        mMediaPortText->setIntValue(Settings::getMediaPort());
    if (mLocalPlayButton)
        mLocalPlayButton->setState(Settings::isPlayLocally() ? 1 : 0);
    setButtons(true, false);
}

void vxAppDelegate::onConnect() {
    if (mAwaitingReport)
        return;
    Settings::setTransportType(3);
    std::string address = mTargetAddressField ? mTargetAddressField->stringValue() : std::string();
    // An address with a line break would not read back as typed.
    if (!Settings::isUsableAddress(address.c_str()) ||
        !Settings::setWifiServerAddr(address.c_str())) {
        showError(kInvalidAddressText);
        return;
    }
    Settings::setControlPort(mControlPortText ? mControlPortText->intValue() : 0);
    Settings::setMediaPort(mMediaPortText ? mMediaPortText->intValue() : 0);
    Settings::setPlayLocally(mLocalPlayButton && mLocalPlayButton->state() == 1);
    bool saved = Settings::writeSettings();

    // Connect goes grey at the press, not at the first report, and a press that
    // still reaches us before a report is applied is ignored: the session may
    // even have ended already, so the controller alone cannot tell it apart.
    if (mController->start() == 0) {
        mAwaitingReport = true;
        if (mConnectButton)
            mConnectButton->setEnabled(false);
    }
    // The session runs on unsaved settings; say so once, not at every Connect.
    if (!saved && !mSaveFailureShown) {
        mSaveFailureShown = true;
        showError(kSettingsNotSavedText);
    }
}

void vxAppDelegate::onDisconnect() {
    mController->stop();
}

void vxAppDelegate::onPlayInSpeaker() {
    Settings::setPlayLocally(mLocalPlayButton && mLocalPlayButton->state() == 1);
}

void vxAppDelegate::onHelp() {
    if (mBrowser && !mHelpUrl.empty())
        mBrowser->openUrl(mHelpUrl.c_str());
}

void vxAppDelegate::showError(const char* text) {
    mAlertOpen = true;
    mAlert->runModal(text);
    mAlertOpen = false;
    drainRefreshes();
}

const char* vxAppDelegate::getErrText(int code) {
    return ::getErrText(code);
}

void vxAppDelegate::onStateChange(int state, int error) {
    uint64_t old = mReport.load();
    while (!mReport.compare_exchange_weak(old, packReport(reportNumber(old) + 1, state, error))) {
    }
    mUiThread->performLater([this] { onStateChangeInternal(); });
}

int vxAppDelegate::getMState() const {
    return reportState(mReport.load());
}

int vxAppDelegate::getMError() const {
    return reportError(mReport.load());
}

std::string vxAppDelegate::statusText() const {
    uint64_t report = mReport.load();
    switch (reportState(report)) {
    case StateIdle:
        return reportError(report) != ErrorNone ? getErrText(reportError(report)) : "Idle";
    case StateConnecting:
        return std::string("Connecting to ") + Settings::getWifiServerAddr() + ":" +
               std::to_string(Settings::getControlPort());
    case StateConnected:
        return std::string("Streaming from ") + Settings::getWifiServerAddr() + ", 48 kHz mono";
    case StateDisconnecting:
        return "Disconnecting";
    default:
        return "Connection lost, ending the session";
    }
}

void vxAppDelegate::onStateChangeInternal() {
    ++mPendingRefreshes;
    drainRefreshes();
}

void vxAppDelegate::drainRefreshes() {
    // Reached again from inside an alert's modal loop: leave the refresh
    // counted; the loop below (or the one that opened the alert) runs it once
    // the alert is gone, so alerts never stack and no button changes under one.
    if (mAlertOpen || mRefreshing)
        return;
    mRefreshing = true;
    while (mPendingRefreshes > 0) {
        --mPendingRefreshes;
        applyLatestReport();
    }
    mRefreshing = false;
}

void vxAppDelegate::applyLatestReport() {
    uint64_t report = mReport.load();
    // Several refreshes queued for reports that came together all see the
    // latest one; it is applied (and its alert shown) once.
    if (reportNumber(report) == mAppliedReport)
        return;
    mAppliedReport = reportNumber(report);
    mAwaitingReport = false;
    int state = reportState(report);
    int error = reportError(report);

    hideIndicator(mConnectingIndicator);
    hideIndicator(mDisconnectingIndicator);
    if (error != ErrorNone)
        showError(getErrText(error));

    switch (state) {
    case StateIdle:
        setButtons(true, false);
        break;
    case StateConnecting:
        setButtons(false, false);
        showIndicator(mConnectingIndicator);
        break;
    case StateConnected:
        setButtons(false, true);
        break;
    case StateDisconnecting:
        setButtons(false, false);
        showIndicator(mDisconnectingIndicator);
        break;
    default: // aborting and anything else: the buttons stay as they are
        break;
    }
}

void vxAppDelegate::hideIndicator(ui::ProgressIndicator* indicator) {
    if (indicator && !indicator->isHidden()) {
        indicator->stopAnimation();
        indicator->setHidden(true);
    }
}

void vxAppDelegate::showIndicator(ui::ProgressIndicator* indicator) {
    if (indicator) {
        indicator->setHidden(false);
        indicator->startAnimation();
    }
}

void vxAppDelegate::setButtons(bool connect, bool disconnect) {
    if (mConnectButton)
        mConnectButton->setEnabled(connect);
    if (mDisconnectButton)
        mDisconnectButton->setEnabled(disconnect);
}
