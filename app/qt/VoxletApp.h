// The application on Qt: the window, the adapters through which the window's
// controller reaches it, and the controller itself, wired together. Build it on
// the UI thread after the QApplication; destroy it before the QApplication.
#pragma once

#include "MainWindow.h"
#include "QtControls.h"
#include "vxAppDelegate.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>

class VoxletApp {
  public:
    VoxletApp();
    ~VoxletApp();
    VoxletApp(const VoxletApp&) = delete;
    VoxletApp& operator=(const VoxletApp&) = delete;

    // Loads the settings, creates the session controller, fills and shows the window.
    void launch();
    // After the event loop: ends a running session (bounded wait).
    void terminate();

    MainWindow& window() { return *mWindow; }
    vxAppDelegate& delegate() { return *mDelegate; }
    // Whether the status line and the meter are being refreshed (during a session).
    bool refreshingStatus() const { return mRefresh->isActive(); }

    // file:// address of help.html: next to the program, in an installed
    // share/voxlet, or in the source tree.
    static QString findHelpPage();

  private:
    void refreshStatus();

    QObject mContext; // queued work for the controller runs in its (the UI) thread
    std::unique_ptr<MainWindow> mWindow;
    QtUiThread mUiThread;
    QtAlert mAlert;
    QtBrowser mBrowser;
    QtTextField mAddress;
    QtTextField mControlPort;
    QtTextField mMediaPort;
    QtCheckBox mPlayInSpeaker;
    QtPushButton mConnect;
    QtPushButton mDisconnect;
    QtProgressIndicator mConnecting;
    QtProgressIndicator mDisconnecting;
    // Last, so it goes first: its session ends while the adapters still exist.
    std::unique_ptr<vxAppDelegate> mDelegate;
    QTimer* mRefresh = nullptr; // UI thread only; owned by the window
};
