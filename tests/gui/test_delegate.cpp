// The window's controller against fakes of the ui/ layer. Reports are made
// from another thread, as the session controller makes them; the test plays
// the UI thread by running the fake queue.
#include "FakeUi.h"
#include "MicController.h"
#include "Settings.h"
#include "WorkDir.h"
#include "vxAppDelegate.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

struct Look {
    bool connect, disconnect, connecting, disconnecting; // enabled / shown
    bool operator==(const Look&) const = default;
};
const Look kIdle{true, false, false, false};
const Look kConnecting{false, false, true, false};
const Look kConnected{false, true, false, false};
const Look kDisconnecting{false, false, false, true};

class DelegateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        address.text = "left over";
        d.setMTargetAddressField(&address);
        d.setMControlPortText(&controlPort);
        d.setMMediaPortText(&mediaPort);
        d.setMLocalPlayButton(&playInSpeaker);
        d.setMConnectButton(&connect);
        d.setMDisconnectButton(&disconnect);
        d.setMConnectingIndicator(&connecting);
        d.setMDisconnectingIndicator(&disconnecting);
        d.setHelpUrl("file:///opt/voxlet/help.html");
        d.applicationDidFinishLaunching();
    }

    void report(int state, int error) {
        std::thread([&] { d.onStateChange(state, error); }).join();
    }
    void reportAndRun(int state, int error) {
        report(state, error);
        ui.runAll();
    }

    Look look() const {
        // A shown indicator spins, a hidden one does not.
        EXPECT_EQ(!connecting.hidden, connecting.spinning);
        EXPECT_EQ(!disconnecting.hidden, disconnecting.spinning);
        return {connect.enabled, disconnect.enabled, !connecting.hidden, !disconnecting.hidden};
    }

    WorkDir dir;
    FakeTextField address, controlPort, mediaPort;
    FakeCheckBox playInSpeaker;
    FakePushButton connect, disconnect;
    FakeIndicator connecting, disconnecting;
    FakeUiThread ui;
    FakeAlert alert;
    FakeBrowser browser;
    vxAppDelegate d{&ui, &alert, &browser};
};

TEST_F(DelegateTest, FirstLaunchShowsTheDefaults) {
    EXPECT_EQ(address.text, "");
    EXPECT_EQ(controlPort.text, "8125");
    EXPECT_EQ(mediaPort.text, "49152");
    EXPECT_EQ(playInSpeaker.on, 0);
    EXPECT_EQ(look(), kIdle);
    EXPECT_FALSE(dir.hasSettings());
}

TEST_F(DelegateTest, EachStateReportSetsButtonsAndIndicators) {
    // Each row starts from the look the one before left, so a state that fails
    // to reset something (a spinning indicator) shows up. Aborting (4) and
    // unknown states only hide the indicators.
    const std::pair<int, Look> rows[] = {
        {1, kConnecting},
        {2, kConnected},
        {4, kConnected},
        {3, kDisconnecting},
        {0, kIdle},
        {1, kConnecting},
        {4, {false, false, false, false}},
        {0, kIdle},
        {3, kDisconnecting},
        {9, {false, false, false, false}},
    };
    for (auto [state, expected] : rows) {
        reportAndRun(state, 0);
        EXPECT_EQ(look(), expected) << "state " << state;
        EXPECT_EQ(d.getMState(), state);
    }
    EXPECT_TRUE(alert.messages.empty());
}

TEST_F(DelegateTest, ErrorAlertComesBeforeTheButtonsChange) {
    const std::pair<int, const char*> failures[] = {
        {-5, "Fail to connect to server."},
        {-21, "Error occured."},
        {-20, "Connection aborted."},
    };
    for (auto [error, message] : failures) {
        reportAndRun(1, 0);
        Look underAlert{};
        alert.whileOpen = [&] { underAlert = look(); };
        reportAndRun(0, error);
        EXPECT_EQ(alert.messages.back(), message);
        EXPECT_EQ(underAlert, (Look{false, false, false, false})) << "indicator hidden first";
        EXPECT_EQ(look(), kIdle);
    }
    EXPECT_EQ(alert.messages.size(), 3u);
}

TEST_F(DelegateTest, ReportsArrivingTogetherApplyTheLatestPairOnce) {
    report(1, 0);
    report(0, -5);
    EXPECT_EQ(d.getMState(), 0);
    EXPECT_EQ(d.getMError(), -5);
    EXPECT_EQ(ui.runAll(), 2);
    EXPECT_EQ(alert.messages, std::vector<std::string>{"Fail to connect to server."});
    EXPECT_EQ(look(), kIdle);

    report(1, 0);
    report(2, 0);
    ui.runAll();
    EXPECT_EQ(look(), kConnected);

    // The same pair reported again later is a new report with its own alert.
    reportAndRun(0, -5);
    reportAndRun(0, -5);
    EXPECT_EQ(alert.messages.size(), 3u);
}

TEST_F(DelegateTest, RefreshesDuringAnAlertWaitForItsDismissal) {
    reportAndRun(1, 0);
    Look underAlert{};
    alert.whileOpen = [&] {
        // Another report arrives, and the modal loop delivers its refresh.
        reportAndRun(0, -6);
        underAlert = look();
    };
    reportAndRun(0, -5);
    EXPECT_EQ(alert.maxOpen, 1) << "alerts never stack";
    EXPECT_EQ(
        alert.messages,
        (std::vector<std::string>{
            "Fail to connect to server.",
            "Fail to communicate with Voxlet on Android phone. Check if it has been started."}));
    EXPECT_EQ(underAlert, (Look{false, false, false, false})) << "nothing changed under it";
    EXPECT_EQ(look(), kIdle);
}

TEST_F(DelegateTest, EmptyAddressAlertsAndStartsNothing) {
    Settings::setTransportType(1);
    address.text = "";
    controlPort.text = "7000";
    d.onConnect();
    EXPECT_EQ(alert.messages, std::vector<std::string>{"Invalid target IP address."});
    EXPECT_EQ(Settings::getTransportType(), 3) << "set before the check";
    EXPECT_EQ(Settings::getControlPort(), 8125);
    EXPECT_FALSE(dir.hasSettings());
    EXPECT_EQ(look(), kIdle);
    // A session would have reported state 1 long before this.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(ui.posted(), 0);
}

TEST_F(DelegateTest, LettersInPortFieldsWriteZeroAndOnePressStartsOneSession) {
    address.text = "127.0.0.1";
    controlPort.text = "abc";
    mediaPort.text = "udp";
    playInSpeaker.on = 1;
    d.onConnect();
    EXPECT_FALSE(connect.enabled) << "disabled at the press";
    d.onConnect(); // reaches us anyway, before any report: ignored

    EXPECT_EQ(dir.settings(), "transportType:3\nwifiServerAddr:127.0.0.1\nplayLocally:1\n"
                              "controlPort:0\nmediaPort:0\nautoConnect:0\n"
                              "window:200,200,500,300\n");
    // Media port 0 is refused before anything goes out: one session,
    // reporting (1, 0) then (0, -12).
    ASSERT_TRUE(ui.waitForPosted(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(ui.posted(), 2);
    ui.runAll();
    EXPECT_EQ(alert.messages,
              std::vector<std::string>{"Fail to connect to server for media stream."});
    EXPECT_EQ(look(), kIdle);
}

// A failed save is said once, not at every Connect; the session starts anyway
// and the read-only file is left as it was.
TEST_F(DelegateTest, UnsavedSettingsAreReportedOnceAndTheSessionStillStarts) {
    dir.writeSettings("controlPort:1\n");
    std::filesystem::permissions("settings.dat", std::filesystem::perms::owner_read);
    address.text = "127.0.0.1";
    mediaPort.text = "0"; // each session ends at once with -12
    for (int press = 1; press <= 2; ++press) {
        d.onConnect();
        ASSERT_TRUE(ui.waitForPosted(2 * press));
        ui.runAll();
    }
    const std::string media = "Fail to connect to server for media stream.";
    EXPECT_EQ(alert.messages, (std::vector<std::string>{kSettingsNotSavedText, media, media}));
    EXPECT_EQ(dir.settings(), "controlPort:1\n");
}

} // namespace
