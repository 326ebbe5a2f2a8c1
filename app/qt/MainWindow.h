// The window: the phone's address, the two ports, "play in speaker",
// Connect and Disconnect each with its busy indicator, and Help. It only lays
// out widgets; VoxletApp wires them to the controller.
#pragma once

#include "BusyIndicator.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>

class MainWindow : public QWidget {
    Q_OBJECT

  public:
    explicit MainWindow(QWidget* parent = nullptr);

    QLineEdit* addressField() const { return mAddress; }
    QLineEdit* controlPortField() const { return mControlPort; }
    QLineEdit* mediaPortField() const { return mMediaPort; }
    QCheckBox* playInSpeakerBox() const { return mPlayInSpeaker; }
    QPushButton* connectButton() const { return mConnect; }
    QPushButton* disconnectButton() const { return mDisconnect; }
    QPushButton* helpButton() const { return mHelp; }
    BusyIndicator* connectingIndicator() const { return mConnecting; }
    BusyIndicator* disconnectingIndicator() const { return mDisconnecting; }
    QLabel* statusLine() const { return mStatus; }
    QProgressBar* levelMeter() const { return mLevel; }

    // The meter's reading for a peak sample value (0..32768): -60..0 dBFS
    // spread over 0..100, nothing below.
    static int meterValue(int peak);

  private:
    QLineEdit* mAddress;
    QLineEdit* mControlPort;
    QLineEdit* mMediaPort;
    QCheckBox* mPlayInSpeaker;
    QPushButton* mConnect;
    QPushButton* mDisconnect;
    QPushButton* mHelp;
    BusyIndicator* mConnecting;
    BusyIndicator* mDisconnecting;
    QLabel* mStatus;
    QProgressBar* mLevel;
};
