// A small spinning busy indicator: Qt Widgets has none of its own.
#pragma once

#include <QTimer>
#include <QWidget>

class BusyIndicator : public QWidget {
    Q_OBJECT

  public:
    explicit BusyIndicator(QWidget* parent = nullptr);

    void startAnimation();
    void stopAnimation();
    bool isAnimating() const { return mTimer.isActive(); }

    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    static constexpr int kSpokes = 12;
    QTimer mTimer;
    int mStep = 0; // which spoke is brightest
};
