#include "BusyIndicator.h"

#include <QPainter>

BusyIndicator::BusyIndicator(QWidget* parent) : QWidget(parent) {
    mTimer.setInterval(80);
    connect(&mTimer, &QTimer::timeout, this, [this] {
        mStep = (mStep + 1) % kSpokes;
        update();
    });
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    // Showing and hiding it must not shift the buttons beside it.
    QSizePolicy policy = sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    setSizePolicy(policy);
}

void BusyIndicator::startAnimation() {
    if (!mTimer.isActive())
        mTimer.start();
}

void BusyIndicator::stopAnimation() {
    mTimer.stop();
    update();
}

QSize BusyIndicator::sizeHint() const {
    int side = fontMetrics().height() + 2;
    return {side, side};
}

void BusyIndicator::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    qreal side = qMin(width(), height());
    painter.translate(width() / 2.0, height() / 2.0);
    QColor color = palette().color(QPalette::WindowText);
    QPen pen(color, qMax<qreal>(1.5, side / 9.0), Qt::SolidLine, Qt::RoundCap);
    for (int i = 0; i < kSpokes; ++i) {
        // The spoke at mStep is darkest; the ones behind it fade out.
        int age = (mStep - i + kSpokes) % kSpokes;
        color.setAlphaF(1.0 - age / static_cast<double>(kSpokes) * 0.85);
        pen.setColor(color);
        painter.setPen(pen);
        painter.save();
        painter.rotate(i * 360.0 / kSpokes);
        painter.drawLine(QPointF(0, -side * 0.22), QPointF(0, -side * 0.44));
        painter.restore();
    }
}
