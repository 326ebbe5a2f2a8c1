// The window's status line and level meter, on the offscreen platform against
// voxlet-phone on loopback.
#include "Child.h"
#include "VoxletApp.h"
#include "WorkDir.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>

namespace {

TEST(StatusLine, FollowsTheSessionWhileTheMeterShowsItsLevelOutsideTheTabOrder) {
    WorkDir dir;
    PhoneProcess phone({"--tone", "440"}); // at -6 dBFS
    ASSERT_GT(phone.port(), 0);
    VoxletApp app;
    app.launch();
    MainWindow& w = app.window();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    EXPECT_EQ(w.statusLine()->text(), "Idle");

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

    w.addressField()->setText("127.0.0.1");
    w.controlPortField()->setText(QString::number(phone.port()));
    w.mediaPortField()->setText(QString::number(freeUdpPort()));
    QTest::mouseClick(w.connectButton(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.levelMeter()->value() > 0; }, 60000));
    EXPECT_EQ(w.statusLine()->text(), "Streaming from 127.0.0.1, 48 kHz mono");
    EXPECT_NEAR(w.levelMeter()->value(), MainWindow::meterValue(16384), 3);
    EXPECT_EQ(MainWindow::meterValue(16384), 90);

    QTest::mouseClick(w.disconnectButton(), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.statusLine()->text() == "Idle"; }, 60000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.levelMeter()->value() == 0; }, 60000));
}

} // namespace
