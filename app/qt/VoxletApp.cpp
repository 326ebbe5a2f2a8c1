#include "VoxletApp.h"

#include "MicController.h"
#include "SessionError.h"
#include "Settings.h"
#include "ui/Application.h"
#include "voxlet_version.h"

#include <darwin/VirtualMicrophone.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QKeySequence>
#include <QShortcut>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>
#include <csignal>
#include <cstdio>
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
    // The status line and the meter follow a session about ten times a second;
    // between sessions nothing changes, so the refresh runs from Connect until
    // the session's end has been shown.
    mRefresh = new QTimer(w);
    QObject::connect(mRefresh, &QTimer::timeout, w, [this] { refreshStatus(); });
    QObject::connect(w->connectButton(), &QPushButton::clicked, w, [this, d] {
        // Connect writes the settings; a settings directory of its own is made then.
        QDir().mkpath(QFileInfo(QString::fromStdString(Settings::filePath())).absolutePath());
        d->onConnect();
        if (!mRefresh->isActive())
            mRefresh->start(100);
    });
    QObject::connect(w->disconnectButton(), &QPushButton::clicked, w, [d] { d->onDisconnect(); });
    QObject::connect(w->helpButton(), &QPushButton::clicked, w, [d] { d->onHelp(); });
    QObject::connect(w->playInSpeakerBox(), &QCheckBox::toggled, w, [d] { d->onPlayInSpeaker(); });
    auto* quit = new QShortcut(QKeySequence::Quit, w);
    QObject::connect(quit, &QShortcut::activated, w, [] { QCoreApplication::quit(); });
}

VoxletApp::~VoxletApp() = default;

void VoxletApp::launch() {
    mDelegate->applicationDidFinishLaunching();
    refreshStatus();
    mWindow->show();
    mWindow->addressField()->setFocus();
}

// The level is what the tick last published, read lock-free.
void VoxletApp::refreshStatus() {
    const QString text = QString::fromStdString(mDelegate->statusText());
    if (mWindow->statusLine()->text() != text)
        mWindow->statusLine()->setText(text);
    MicController* controller = mDelegate->getController();
    mWindow->levelMeter()->setValue(
        MainWindow::meterValue(controller ? controller->getLevelPeak() : 0));
    // Connect comes back only once the idle report has been applied, so a
    // session still starting or ending keeps the refresh going.
    if (mDelegate->getMState() == StateIdle && mWindow->connectButton()->isEnabled())
        mRefresh->stop();
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

// $XDG_CONFIG_HOME/voxlet, or ~/.config/voxlet when it is unset or relative.
QString userSettingsDir() {
    const QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    return (QDir::isAbsolutePath(config) ? config : QDir::homePath() + QStringLiteral("/.config")) +
           QStringLiteral("/voxlet");
}

// Reads the command line before QApplication exists, so --help, --version and
// mistakes are answered without a display. Returns the exit status when the
// program should end now, or -1 after choosing the settings file.
int parseCommandLine(int argc, char** argv) {
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Voxlet: use an Android phone as this computer's microphone."));
    // Qt's own options keep their single dash (-platform, -style).
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({"h", "help"}, QStringLiteral("Show this help and exit."));
    const QCommandLineOption version(QStringLiteral("version"),
                                     QStringLiteral("Show the version and exit."));
    const QCommandLineOption settingsDir(
        QStringLiteral("settings-dir"),
        QStringLiteral("Keep settings.dat in <dir> instead of the working directory."),
        QStringLiteral("dir"));
    const QCommandLineOption userSettings(
        QStringLiteral("user-settings"),
        QStringLiteral("Keep settings.dat in $XDG_CONFIG_HOME/voxlet (~/.config/voxlet)."));
    parser.addOptions({help, version, settingsDir, userSettings});
    // Options QApplication takes for itself; it removes them from argv later.
    for (const char* name : {"platform", "platformpluginpath", "platformtheme", "plugin", "display",
                             "geometry", "qwindowgeometry", "title", "qwindowtitle", "icon",
                             "qwindowicon", "style", "stylesheet", "session", "name"}) {
        QCommandLineOption qtOption(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        qtOption.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(qtOption);
    }
    for (const char* name : {"reverse", "widgetcount", "nograb", "dograb", "sync"}) {
        QCommandLineOption qtOption(QString::fromLatin1(name));
        qtOption.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(qtOption);
    }

    QString problem;
    if (!parser.parse(args)) {
        problem = parser.errorText();
        // Name an unknown option as it was typed, dashes and all.
        const QStringList unknown = parser.unknownOptionNames();
        for (const QString& arg : args) {
            QString name = arg.section('=', 0, 0);
            if (!unknown.isEmpty() && name.startsWith('-') &&
                name.mid(name.startsWith(QStringLiteral("--")) ? 2 : 1) == unknown.first())
                problem = QStringLiteral("unknown option ") + name;
        }
    } else if (!parser.positionalArguments().isEmpty())
        problem = QStringLiteral("unexpected argument ") + parser.positionalArguments().first();
    else if (parser.isSet(settingsDir) && parser.value(settingsDir).isEmpty())
        problem = QStringLiteral("--settings-dir needs a directory");
    const QByteArray usage = QStringLiteral("usage: voxlet [--settings-dir DIR | --user-settings] "
                                            "[--help] [--version]\n")
                                 .toLocal8Bit();
    if (!problem.isEmpty()) {
        fprintf(stderr, "voxlet: %s\n%s", problem.toLocal8Bit().constData(), usage.constData());
        return 2;
    }
    if (parser.isSet(help)) {
        QString text = parser.helpText();
        text = text.mid(text.indexOf('\n') + 1); // its own usage line names no program
        printf("%s%s", usage.constData(), text.toLocal8Bit().constData());
        return 0;
    }
    if (parser.isSet(version)) {
        printf("voxlet %s\n", VOXLET_VERSION);
        return 0;
    }
    // The last of the two settings options wins.
    const QStringList names = parser.optionNames();
    for (auto it = names.crbegin(); it != names.crend(); ++it) {
        QString dir;
        if (settingsDir.names().contains(*it))
            dir = parser.value(settingsDir);
        else if (userSettings.names().contains(*it))
            dir = userSettingsDir();
        else
            continue;
        Settings::setFilePath((dir + '/' + Settings::kFileName).toStdString());
        break;
    }
    return -1;
}

} // namespace

int ui::applicationMain(int argc, char** argv) {
    if (int status = parseCommandLine(argc, argv); status >= 0)
        return status;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Voxlet"));
    QApplication::setApplicationVersion(QStringLiteral(VOXLET_VERSION));
    // Ties the window to its menu entry and icon (the Wayland app id).
    QGuiApplication::setDesktopFileName(QStringLiteral("io.voxlet.Voxlet"));
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
