#include "VoxletApp.h"

#include "MicController.h"
#include "ui/Application.h"

#include <darwin/VirtualMicrophone.h>

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QKeySequence>
#include <QShortcut>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

VoxletApp::VoxletApp()
    : mWindow(std::make_unique<MainWindow>()), mUiThread(&mContext), mAlert(mWindow.get()),
      mAddress(mWindow->addressField()), mControlPort(mWindow->controlPortField()),
      mMediaPort(mWindow->mediaPortField()), mPlayInSpeaker(mWindow->playInSpeakerBox()),
      mConnect(mWindow->connectButton()), mDisconnect(mWindow->disconnectButton()),
      mConnecting(mWindow->connectingIndicator()),
      mDisconnecting(mWindow->disconnectingIndicator()),
      mDelegate(std::make_unique<vxAppDelegate>(&mUiThread, &mAlert, &mBrowser)) {
    vxAppDelegate* d = mDelegate.get();
    d->setMTargetAddressField(&mAddress);
    d->setMControlPortText(&mControlPort);
    d->setMMediaPortText(&mMediaPort);
    d->setMLocalPlayButton(&mPlayInSpeaker);
    d->setMConnectButton(&mConnect);
    d->setMDisconnectButton(&mDisconnect);
    d->setMConnectingIndicator(&mConnecting);
    d->setMDisconnectingIndicator(&mDisconnecting);
    d->setHelpUrl(findHelpPage().toStdString());

    MainWindow* w = mWindow.get();
    QObject::connect(w->connectButton(), &QPushButton::clicked, w, [d] { d->onConnect(); });
    QObject::connect(w->disconnectButton(), &QPushButton::clicked, w, [d] { d->onDisconnect(); });
    QObject::connect(w->helpButton(), &QPushButton::clicked, w, [d] { d->onHelp(); });
    QObject::connect(w->playInSpeakerBox(), &QCheckBox::toggled, w, [d] { d->onPlayInSpeaker(); });
    auto* quit = new QShortcut(QKeySequence::Quit, w);
    QObject::connect(quit, &QShortcut::activated, w, [] { QCoreApplication::quit(); });
}

VoxletApp::~VoxletApp() = default;

void VoxletApp::launch() {
    mDelegate->applicationDidFinishLaunching();
    // The status line and the meter follow the session about ten times a
    // second; the level is what the tick last published, read lock-free.
    auto* refresh = new QTimer(mWindow.get());
    QObject::connect(refresh, &QTimer::timeout, mWindow.get(), [this] {
        const QString text = QString::fromStdString(mDelegate->statusText());
        if (mWindow->statusLine()->text() != text)
            mWindow->statusLine()->setText(text);
        MicController* controller = mDelegate->getController();
        mWindow->levelMeter()->setValue(
            MainWindow::meterValue(controller ? controller->getLevelPeak() : 0));
    });
    refresh->start(100);
    mWindow->show();
    mWindow->addressField()->setFocus();
}

void VoxletApp::terminate() {
    mDelegate->applicationWillTerminate();
}

QString VoxletApp::findHelpPage() {
    const QString dir = QCoreApplication::applicationDirPath();
    const QString candidates[] = {
        dir + "/help.html",
        dir + "/docs/help.html",
        dir + "/../share/voxlet/help.html",
        dir + "/../docs/help.html",
        dir + "/../../docs/help.html",
        QStringLiteral(VOXLET_HELP_SOURCE),
    };
    for (const QString& path : candidates) {
        QFileInfo info(path);
        if (info.isFile())
            return QUrl::fromLocalFile(info.canonicalFilePath()).toString();
    }
    return QUrl::fromLocalFile(QStringLiteral(VOXLET_HELP_SOURCE)).toString();
}

namespace {

// SIGINT and SIGTERM quit like the window does, so the session still ends
// cleanly: the handler only writes a byte that the event loop picks up, and
// never waits when a burst of signals has filled the socket.
int gSignalPipe[2] = {-1, -1};

void onQuitSignal(int) {
    char byte = 1;
    ssize_t written = write(gSignalPipe[0], &byte, 1);
    (void)written;
}

void quitOnSignals(QObject* parent) {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, gSignalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(gSignalPipe[1], QSocketNotifier::Read, parent);
    QObject::connect(notifier, &QSocketNotifier::activated, parent, [] {
        char byte;
        ssize_t got = read(gSignalPipe[1], &byte, 1);
        (void)got;
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

} // namespace

int ui::applicationMain(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Voxlet"));
    quitOnSignals(&app);
    // "Voxlet Microphone" from launch to exit, across sessions; it goes after
    // the window's last session has ended.
    darwin::VirtualMicrophoneScope microphone;
    VoxletApp voxlet;
    voxlet.launch();
    int result = app.exec();
    voxlet.terminate();
    return result;
}
