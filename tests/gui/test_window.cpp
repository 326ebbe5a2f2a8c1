// The real Qt window on the offscreen platform, driven like a person would,
// against voxlet-phone on loopback. Alerts are read and dismissed by a timer
// that runs inside their modal loop; Help's address is caught by a URL
// handler instead of a browser.
#include "Child.h"
#include "MicController.h"
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

namespace {

// Every wait is for a condition; this only bounds a wait that would hang.
constexpr int kSessionMs = 60000;

// Reads each alert as it opens and dismisses it; records how the window
// looked at that moment.
class AlertReader {
  public:
    struct Seen {
        QString text;
        bool connectEnabled;
        bool connectingVisible;
    };

    explicit AlertReader(MainWindow& window) {
        mTimer.setInterval(20);
        QObject::connect(&mTimer, &QTimer::timeout, [this, &window] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            seen.push_back({box->text(), window.connectButton()->isEnabled(),
                            window.connectingIndicator()->isVisible()});
            box->button(QMessageBox::Ok)->click();
        });
        mTimer.start();
    }

    std::vector<Seen> seen;

  private:
    QTimer mTimer;
};

class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        app = std::make_unique<VoxletApp>();
        app->launch();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window()));
    }
    void TearDown() override { app.reset(); }

    MainWindow& window() { return app->window(); }

    void typeInto(QLineEdit* field, const QString& text) {
        field->selectAll();
        QTest::keyClick(field, Qt::Key_Backspace);
        QTest::keyClicks(field, text);
    }
    void fillIn(const QString& address, int controlPort, int mediaPort) {
        typeInto(window().addressField(), address);
        typeInto(window().controlPortField(), QString::number(controlPort));
        typeInto(window().mediaPortField(), QString::number(mediaPort));
    }
    bool idleLook() {
        MainWindow& w = window();
        return w.connectButton()->isEnabled() && !w.disconnectButton()->isEnabled() &&
               w.connectingIndicator()->isHidden() && w.disconnectingIndicator()->isHidden();
    }

    WorkDir dir; // before the app: its settings file is read from here
    std::unique_ptr<VoxletApp> app;
};

TEST_F(WindowTest, ConnectStreamDisconnectThenQuitDuringASession) {
    PhoneProcess phone;
    ASSERT_GT(phone.port(), 0);
    int mediaPort = freeUdpPort();
    MainWindow& w = window();
    EXPECT_TRUE(idleLook());
    EXPECT_EQ(w.controlPortField()->text(), "8125");

    fillIn("127.0.0.1", phone.port(), mediaPort);
    QTest::mouseClick(w.connectButton(), Qt::LeftButton);
    EXPECT_FALSE(w.connectButton()->isEnabled()) << "disabled at the press";
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.disconnectButton()->isEnabled(); }, kSessionMs));
    EXPECT_FALSE(w.connectButton()->isEnabled());
    EXPECT_TRUE(w.connectingIndicator()->isHidden());
    EXPECT_EQ(dir.settings(), "transportType:3\nwifiServerAddr:127.0.0.1\nplayLocally:0\n"
                              "controlPort:" +
                                  std::to_string(phone.port()) +
                                  "\nmediaPort:" + std::to_string(mediaPort) +
                                  "\nautoConnect:0\nwindow:200,200,500,300\n");

    // The speaker switch works at once during streaming and writes no file.
    std::string before = dir.settings();
    QTest::mouseClick(w.playInSpeakerBox(), Qt::LeftButton);
    EXPECT_TRUE(Settings::isPlayLocally());
    EXPECT_EQ(dir.settings(), before);

    QTest::mouseClick(w.disconnectButton(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return idleLook(); }, kSessionMs));
    EXPECT_EQ(app->delegate().getMError(), 0);

    // Quitting while connected ends the session before the program exits.
    QTest::mouseClick(w.connectButton(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.disconnectButton()->isEnabled(); }, kSessionMs));
    app->terminate();
    EXPECT_EQ(app->delegate().getController()->getState(), 0);
}

TEST_F(WindowTest, RefusedConnectionShowsOneAlertThenConnectComesBack) {
    AlertReader alerts(window());
    int port = closedTcpPort();
    fillIn("127.0.0.1", port, freeUdpPort());
    QTest::mouseClick(window().connectButton(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !alerts.seen.empty() && idleLook(); }, kSessionMs));
    QTest::qWait(100); // a second alert would show by now
    ASSERT_EQ(alerts.seen.size(), 1u);
    EXPECT_EQ(alerts.seen[0].text, "Fail to connect to server.");
    EXPECT_FALSE(alerts.seen[0].connectEnabled) << "buttons change after the alert";
    EXPECT_FALSE(alerts.seen[0].connectingVisible);
}

TEST_F(WindowTest, EnterConnectsAndTheSpinnerTurnsUntilTheStartFails) {
    // The phone never answers the start request: connecting lasts its 5 s wait.
    PhoneProcess phone({"--no-answer", "103"});
    ASSERT_GT(phone.port(), 0);
    AlertReader alerts(window());
    MainWindow& w = window();
    fillIn("127.0.0.1", phone.port(), freeUdpPort());
    QTest::keyClick(w.mediaPortField(), Qt::Key_Return);
    EXPECT_FALSE(w.connectButton()->isEnabled());
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.connectingIndicator()->isVisible(); }, kSessionMs));
    EXPECT_TRUE(w.connectingIndicator()->isAnimating());
    EXPECT_FALSE(w.disconnectButton()->isEnabled());

    ASSERT_FALSE(w.connectButton()->isEnabled()) << "still connecting";
    QTest::keyClick(w.addressField(), Qt::Key_Return); // Connect is disabled: nothing
    ASSERT_TRUE(QTest::qWaitFor([&] { return !alerts.seen.empty() && idleLook(); }, kSessionMs));
    ASSERT_EQ(alerts.seen.size(), 1u);
    EXPECT_EQ(alerts.seen[0].text, "Cannot start mic on Android phone.");
    EXPECT_FALSE(w.connectingIndicator()->isAnimating());
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
    QTest::mouseClick(window().helpButton(), Qt::LeftButton);
    QDesktopServices::unsetUrlHandler("file");
    ASSERT_EQ(catcher.urls.size(), 1u);
    QString path = catcher.urls[0].toLocalFile();
    EXPECT_TRUE(path.endsWith("/docs/help.html")) << path.toStdString();
    EXPECT_TRUE(QFileInfo(path).isFile());
    EXPECT_FALSE(dir.hasSettings());
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
