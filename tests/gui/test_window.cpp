// The real Qt window on the offscreen platform, driven like a person would,
// against voxlet-phone on loopback, and fed state reports from another thread
// as the session controller makes them. Alerts are read and dismissed by a
// timer that runs inside their modal loop; Help's address is caught by a URL
// handler instead of a browser.
#include "Child.h"
#include "MicController.h"
#include "SessionError.h"
#include "Settings.h"
#include "VoxletApp.h"
#include "WorkDir.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <filesystem>
#include <fstream>
#include <thread>

namespace {

// Every wait is for a condition; this only bounds a wait that would hang.
constexpr int kSessionMs = 60000;
const char* const kMediaRefused = "Fail to connect to server for media stream.";

// What the window shows: Connect and Disconnect enabled, the connecting and
// disconnecting indicators shown (a shown indicator must spin, a hidden one not).
using Look = std::string;
const Look kIdle = "C...", kConnecting = "..c.", kConnected = ".D..", kDisconnecting = "...d",
           kNone = "....";

Look lookOf(MainWindow& w) {
    EXPECT_EQ(w.connectingIndicator()->isVisible(), w.connectingIndicator()->isAnimating());
    EXPECT_EQ(w.disconnectingIndicator()->isVisible(), w.disconnectingIndicator()->isAnimating());
    return {w.connectButton()->isEnabled() ? 'C' : '.',
            w.disconnectButton()->isEnabled() ? 'D' : '.',
            w.connectingIndicator()->isVisible() ? 'c' : '.',
            w.disconnectingIndicator()->isVisible() ? 'd' : '.'};
}

// Reads each alert as it opens and dismisses it, noting how the window looked
// then; `whileOpen` runs once inside the next alert, before it is dismissed.
class AlertReader {
  public:
    explicit AlertReader(MainWindow& window) {
        mTimer.setInterval(10);
        QObject::connect(&mTimer, &QTimer::timeout, [this, &window] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || box == mHandling)
                return;
            stacked |= mHandling != nullptr;
            mHandling = box;
            texts.push_back(box->text().toStdString());
            looks.push_back(lookOf(window));
            if (auto hook = std::exchange(whileOpen, nullptr))
                hook();
            mHandling = nullptr;
            box->button(QMessageBox::Ok)->click();
        });
        mTimer.start();
    }

    std::vector<std::string> texts;
    std::vector<Look> looks;
    std::function<void()> whileOpen;
    bool stacked = false; // an alert opened while another was open

  private:
    QTimer mTimer;
    QMessageBox* mHandling = nullptr;
};

class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        app->launch();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    }

    void typeInto(QLineEdit* field, const QString& text) {
        field->selectAll();
        QTest::keyClick(field, Qt::Key_Backspace);
        QTest::keyClicks(field, text);
    }
    bool idleLook() { return lookOf(w) == kIdle; }
    // A report from another thread, then the UI thread's turn to apply it.
    void report(int state, int error, bool apply = true) {
        std::thread([&] { app->delegate().onStateChange(state, error); }).join();
        if (apply)
            QCoreApplication::processEvents();
    }

    WorkDir dir; // before the app: its settings file is read from here
    std::unique_ptr<VoxletApp> app = std::make_unique<VoxletApp>();
    MainWindow& w = app->window();
    AlertReader alerts{w};
};

// A whole session from the keyboard and mouse, with the status line and the
// meter following it; quitting while connected ends the session first.
TEST_F(WindowTest, ConnectStreamDisconnectThenQuitDuringASession) {
    PhoneProcess phone({"--tone", "440"}); // at -6 dBFS
    int mediaPort = freeUdpPort();
    EXPECT_TRUE(idleLook());
    EXPECT_EQ(w.statusLine()->text(), "Idle");
    EXPECT_FALSE(app->refreshingStatus());

    // Tab goes round the enabled controls in their order, and only them.
    std::vector<QWidget*> order;
    w.addressField()->setFocus();
    do {
        order.push_back(QApplication::focusWidget());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    } while (QApplication::focusWidget() != w.addressField() && order.size() < 10);
    EXPECT_EQ(order,
              (std::vector<QWidget*>{w.addressField(), w.controlPortField(), w.mediaPortField(),
                                     w.playInSpeakerBox(), w.connectButton(), w.helpButton()}));

    typeInto(w.addressField(), "127.0.0.1");
    typeInto(w.controlPortField(), QString::number(phone.port()));
    typeInto(w.mediaPortField(), QString::number(mediaPort));
    QTest::mouseClick(w.connectButton(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return w.levelMeter()->value() > 0 && w.disconnectButton()->isEnabled(); },
        kSessionMs));
    EXPECT_EQ(w.statusLine()->text(), "Streaming from 127.0.0.1, 48 kHz mono");
    EXPECT_NEAR(w.levelMeter()->value(), MainWindow::meterValue(16384), 3);
    EXPECT_EQ(MainWindow::meterValue(16384), 90);
    const std::string saved = "transportType:3\nwifiServerAddr:127.0.0.1\nplayLocally:0\n"
                              "controlPort:" +
                              std::to_string(phone.port()) +
                              "\nmediaPort:" + std::to_string(mediaPort) +
                              "\nautoConnect:0\nwindow:200,200,500,300\n";
    EXPECT_EQ(dir.settings(), saved);

    // The speaker switch works at once during streaming and writes no file.
    QTest::mouseClick(w.playInSpeakerBox(), Qt::LeftButton);
    EXPECT_TRUE(Settings::isPlayLocally());
    EXPECT_EQ(dir.settings(), saved);

    QTest::mouseClick(w.disconnectButton(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return idleLook(); }, kSessionMs));
    EXPECT_EQ(app->delegate().getMError(), 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.statusLine()->text() == "Idle"; }, kSessionMs));
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.levelMeter()->value() == 0; }, kSessionMs));
    // Between sessions nothing changes: the refresh stops once the end is shown.
    EXPECT_TRUE(QTest::qWaitFor([&] { return !app->refreshingStatus(); }, kSessionMs));

    QTest::mouseClick(w.connectButton(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.disconnectButton()->isEnabled(); }, kSessionMs));
    app->terminate();
    EXPECT_EQ(app->delegate().getController()->getState(), 0);
}

TEST_F(WindowTest, EachStateReportSetsButtonsAndIndicators) {
    // Each row starts from the look the one before left, so a state that fails
    // to reset something shows up. Aborting (4) and unknown states only hide
    // the indicators.
    const std::pair<int, Look> rows[] = {
        {1, kConnecting}, {2, kConnected}, {4, kConnected}, {3, kDisconnecting}, {0, kIdle},
        {1, kConnecting}, {4, kNone},      {0, kIdle},      {3, kDisconnecting}, {9, kNone}};
    for (auto [state, expected] : rows) {
        report(state, 0);
        EXPECT_EQ(lookOf(w), expected) << "state " << state;
        EXPECT_EQ(app->delegate().getMState(), state);
    }
    EXPECT_TRUE(alerts.texts.empty());
}

TEST_F(WindowTest, ErrorAlertsComeFirstApplyOnceAndWaitForEachOther) {
    for (int error : {-21, -20, -8}) {
        report(1, 0);
        report(0, error);
        EXPECT_EQ(lookOf(w), kIdle);
    }
    EXPECT_EQ(alerts.looks, std::vector<Look>(3, kNone)) << "indicator hidden first";
    // Reports arriving together: the latest pair is applied once.
    report(1, 0, false);
    report(0, -5, false);
    EXPECT_EQ(app->delegate().getMState(), 0);
    EXPECT_EQ(app->delegate().getMError(), -5);
    QCoreApplication::processEvents();
    EXPECT_EQ(alerts.texts, (std::vector<std::string>{"Error occured.", "Connection aborted.",
                                                      "Cannot start mic on Android phone.",
                                                      "Fail to connect to server."}));
    EXPECT_EQ(lookOf(w), kIdle);
    report(1, 0, false);
    report(2, 0);
    EXPECT_EQ(lookOf(w), kConnected);
    // The same pair reported again later is a new report with its own alert.
    report(0, -5);
    report(0, -5);
    EXPECT_EQ(alerts.texts.size(), 6u);
    // A report during an alert waits for its dismissal (its refresh comes
    // through the alert's own loop), and alerts never stack.
    report(1, 0);
    Look underAlert = kIdle;
    alerts.whileOpen = [&] {
        report(0, -6);
        underAlert = lookOf(w);
    };
    report(0, -5);
    ASSERT_TRUE(QTest::qWaitFor([&] { return alerts.texts.size() == 8; }, kSessionMs));
    EXPECT_FALSE(alerts.stacked);
    EXPECT_EQ(alerts.texts[6], "Fail to connect to server.");
    EXPECT_EQ(alerts.texts[7],
              "Fail to communicate with Voxlet on Android phone. Check if it has been started.");
    EXPECT_EQ(underAlert, kNone) << "nothing changed under it";
    EXPECT_EQ(lookOf(w), kIdle);
}

// An empty address alerts and starts nothing; then letters in the port fields
// are written as zero, and Return in a field presses Connect once.
TEST_F(WindowTest, EmptyAddressThenLettersInPortFieldsAndOnePressStartsOneSession) {
    Settings::setTransportType(1);
    typeInto(w.controlPortField(), "7000");
    QTest::mouseClick(w.connectButton(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !alerts.texts.empty(); }, kSessionMs));
    EXPECT_EQ(Settings::getTransportType(), 3) << "set before the check";
    EXPECT_EQ(Settings::getControlPort(), 8125);
    EXPECT_FALSE(dir.hasSettings());

    w.addressField()->setText("127.0.0.1");
    w.controlPortField()->setText("abc");
    w.mediaPortField()->setText("udp");
    w.playInSpeakerBox()->setChecked(true);
    Settings::setPlayLocally(false); // the press takes the box as it shows
    QTest::keyClick(w.mediaPortField(), Qt::Key_Return);
    EXPECT_FALSE(w.connectButton()->isEnabled()) << "disabled at the press";
    QTest::keyClick(w.addressField(), Qt::Key_Return); // Connect is disabled: nothing
    app->delegate().onConnect(); // reaches us anyway, before any report: ignored
    EXPECT_EQ(dir.settings(), "transportType:3\nwifiServerAddr:127.0.0.1\nplayLocally:1\n"
                              "controlPort:0\nmediaPort:0\nautoConnect:0\n"
                              "window:200,200,500,300\n");
    // Media port 0 is refused before anything goes out: one session,
    // reporting (1, 0) then (0, -12).
    ASSERT_TRUE(QTest::qWaitFor([&] { return alerts.texts.size() > 1 && idleLook(); }, kSessionMs));
    QTest::qWait(200); // another session's alert would show by now
    EXPECT_EQ(alerts.texts,
              (std::vector<std::string>{"Invalid target IP address.", kMediaRefused}));
}

// A failed save is said once, not at every Connect; the session starts anyway
// and the read-only file is left as it was.
TEST_F(WindowTest, UnsavedSettingsAreReportedOnceAndTheSessionStillStarts) {
    std::ofstream("settings.dat") << "controlPort:1\n";
    std::filesystem::permissions("settings.dat", std::filesystem::perms::owner_read);
    w.addressField()->setText("127.0.0.1");
    w.mediaPortField()->setText("0"); // each session ends at once with -12
    for (size_t press = 1; press <= 2; ++press) {
        app->delegate().onConnect();
        ASSERT_TRUE(QTest::qWaitFor([&] { return alerts.texts.size() == press + 1 && idleLook(); },
                                    kSessionMs));
    }
    EXPECT_EQ(alerts.texts,
              (std::vector<std::string>{kSettingsNotSavedText, kMediaRefused, kMediaRefused}));
    EXPECT_EQ(dir.settings(), "controlPort:1\n");
}

class UrlCatcher : public QObject {
    Q_OBJECT
  public slots:
    void open(const QUrl& url) { urls.push_back(url); }

  public:
    std::vector<QUrl> urls;
};

TEST_F(WindowTest, HelpOpensThePageShippedWithTheProgram) {
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("file", &catcher, "open");
    QTest::mouseClick(w.helpButton(), Qt::LeftButton);
    QDesktopServices::unsetUrlHandler("file");
    ASSERT_EQ(catcher.urls.size(), 1u);
    QString path = catcher.urls[0].toLocalFile();
    EXPECT_TRUE(path.endsWith("/docs/help.html")) << path.toStdString();
    EXPECT_TRUE(QFileInfo(path).isFile());
    EXPECT_FALSE(dir.hasSettings());
}

// With a settings directory of its own (as the menu entry starts it),
// Connect creates the directory and writes there, and the next launch reads
// it back; the working directory is left alone.
TEST(SettingsDirectory, ConnectCreatesItAndTheNextLaunchReadsIt) {
    WorkDir cwd;
    const std::filesystem::path file = std::filesystem::current_path() / "xdg/voxlet/settings.dat";
    Settings::setFilePath(file.string());
    {
        VoxletApp app;
        app.launch();
        app.window().addressField()->setText("127.0.0.1");
        app.window().controlPortField()->setText("1"); // refused at once on loopback
        app.window().connectButton()->click();
    }
    EXPECT_TRUE(std::filesystem::is_regular_file(file));
    EXPECT_FALSE(cwd.hasSettings());

    VoxletApp again;
    again.launch();
    EXPECT_EQ(again.window().addressField()->text(), "127.0.0.1");
    EXPECT_EQ(again.window().controlPortField()->text(), "1");
    Settings::setFilePath(Settings::kFileName);
}

} // namespace

int main(int argc, char** argv) {
    // Never a real display, also when ctest lists the tests.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

#include "test_window.moc"
