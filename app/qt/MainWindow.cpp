#include "MainWindow.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include <cmath>

namespace {

QLineEdit* portField(QWidget* parent, const char* name) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    // Wide enough for five digits, no wider: ports are short.
    edit->setFixedWidth(edit->fontMetrics().horizontalAdvance(QStringLiteral("0000000")) + 16);
    return edit;
}

// A port field with a quiet note of its protocol to its right.
QWidget* withNote(QWidget* parent, QWidget* field, const QString& note) {
    auto* row = new QWidget(parent);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(field);
    auto* label = new QLabel(note, row);
    label->setEnabled(false);
    layout->addWidget(label);
    layout->addStretch();
    return row;
}

} // namespace

MainWindow::MainWindow(QWidget* parent) : QWidget(parent) {
    setWindowTitle(QStringLiteral("Voxlet"));
    setObjectName("mainWindow");

    mAddress = new QLineEdit(this);
    mAddress->setObjectName("addressField");
    mAddress->setPlaceholderText(QStringLiteral("e.g. 192.168.1.23"));
    mAddress->setMinimumWidth(mAddress->fontMetrics().horizontalAdvance(QLatin1Char('0')) * 26);
    mControlPort = portField(this, "controlPortField");
    mMediaPort = portField(this, "mediaPortField");
    mPlayInSpeaker = new QCheckBox(QStringLiteral("Play in &speaker"), this);
    mPlayInSpeaker->setObjectName("playInSpeaker");
    mPlayInSpeaker->setToolTip(QStringLiteral("Also hear the phone on this computer"));

    auto* form = new QFormLayout;
    form->setFieldGrowthPolicy(QFormLayout::ExpandingFieldsGrow);
    form->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
    form->addRow(QStringLiteral("Phone &address:"), mAddress);
    form->addRow(QStringLiteral("C&ontrol port:"), withNote(this, mControlPort, "TCP"));
    form->addRow(QStringLiteral("&Media port:"), withNote(this, mMediaPort, "UDP"));
    form->addRow(QString(), mPlayInSpeaker);

    mConnect = new QPushButton(QStringLiteral("&Connect"), this);
    mConnect->setObjectName("connectButton");
    mConnecting = new BusyIndicator(this);
    mConnecting->setObjectName("connectingIndicator");
    mConnecting->setAccessibleName(QStringLiteral("Connecting"));
    mConnecting->hide();
    mDisconnect = new QPushButton(QStringLiteral("&Disconnect"), this);
    mDisconnect->setObjectName("disconnectButton");
    mDisconnecting = new BusyIndicator(this);
    mDisconnecting->setObjectName("disconnectingIndicator");
    mDisconnecting->setAccessibleName(QStringLiteral("Disconnecting"));
    mDisconnecting->hide();
    mHelp = new QPushButton(QStringLiteral("&Help"), this);
    mHelp->setObjectName("helpButton");

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(mConnect);
    buttons->addWidget(mConnecting);
    buttons->addSpacing(8);
    buttons->addWidget(mDisconnect);
    buttons->addWidget(mDisconnecting);
    buttons->addStretch();
    buttons->addWidget(mHelp);

    // Below the controls and out of the tab order: they only show.
    mStatus = new QLabel(QStringLiteral("Idle"), this);
    mStatus->setObjectName("statusLine");
    mStatus->setFocusPolicy(Qt::NoFocus);
    mStatus->setTextInteractionFlags(Qt::NoTextInteraction);
    mLevel = new QProgressBar(this);
    mLevel->setObjectName("levelMeter");
    mLevel->setAccessibleName(QStringLiteral("Input level"));
    mLevel->setFocusPolicy(Qt::NoFocus);
    mLevel->setRange(0, 100);
    mLevel->setValue(0);
    mLevel->setTextVisible(false);
    mLevel->setMaximumHeight(mLevel->fontMetrics().height() / 2 + 4);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addSpacing(6);
    layout->addLayout(buttons);
    layout->addSpacing(4);
    layout->addWidget(mStatus);
    layout->addWidget(mLevel);
    layout->setSizeConstraint(QLayout::SetMinimumSize);

    // Top to bottom, then the buttons left to right.
    setTabOrder(mAddress, mControlPort);
    setTabOrder(mControlPort, mMediaPort);
    setTabOrder(mMediaPort, mPlayInSpeaker);
    setTabOrder(mPlayInSpeaker, mConnect);
    setTabOrder(mConnect, mDisconnect);
    setTabOrder(mDisconnect, mHelp);

    // Enter in any field presses Connect, but only while it can be pressed.
    for (QLineEdit* field : {mAddress, mControlPort, mMediaPort})
        connect(field, &QLineEdit::returnPressed, mConnect, [this] {
            if (mConnect->isEnabled())
                mConnect->click();
        });

    resize(sizeHint());
    setMaximumHeight(sizeHint().height());
}

int MainWindow::meterValue(int peak) {
    if (peak <= 0)
        return 0;
    double dbfs = 20.0 * std::log10(peak / 32768.0);
    double value = (dbfs + 60.0) * 100.0 / 60.0;
    return value <= 0 ? 0 : value >= 100 ? 100 : int(std::lround(value));
}
