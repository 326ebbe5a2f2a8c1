// The ui/ interfaces on Qt Widgets. Each control adapter holds a QPointer to
// its widget, so it stays a weak reference: once the window has deleted the
// widget, every operation on it does nothing. All of them are used on the UI
// thread only, except QtUiThread::performLater.
#pragma once

#include "BusyIndicator.h"
#include "ui/Alert.h"
#include "ui/Browser.h"
#include "ui/CheckBox.h"
#include "ui/ProgressIndicator.h"
#include "ui/PushButton.h"
#include "ui/TextField.h"
#include "ui/UiThread.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QLineEdit>
#include <QPointer>

class QtTextField final : public ui::TextField {
  public:
    explicit QtTextField(QLineEdit* edit) : mEdit(edit) {}
    std::string stringValue() const override;
    void setStringValue(const char* text) override;

  private:
    QPointer<QLineEdit> mEdit;
};

class QtCheckBox final : public ui::CheckBox {
  public:
    explicit QtCheckBox(QCheckBox* box) : mBox(box) {}
    int state() const override;
    void setState(int state) override;

  private:
    QPointer<QCheckBox> mBox;
};

class QtPushButton final : public ui::PushButton {
  public:
    explicit QtPushButton(QAbstractButton* button) : mButton(button) {}
    void setEnabled(bool enabled) override;

  private:
    QPointer<QAbstractButton> mButton;
};

class QtProgressIndicator final : public ui::ProgressIndicator {
  public:
    explicit QtProgressIndicator(BusyIndicator* indicator) : mIndicator(indicator) {}
    bool isHidden() const override;
    void setHidden(bool hidden) override;
    void startAnimation() override;
    void stopAnimation() override;

  private:
    QPointer<BusyIndicator> mIndicator;
};

// A warning message box over the window, titled like it, with one OK button.
class QtAlert final : public ui::Alert {
  public:
    explicit QtAlert(QWidget* parent) : mParent(parent) {}
    void runModal(const char* message) override;

  private:
    QPointer<QWidget> mParent;
};

class QtBrowser final : public ui::Browser {
  public:
    bool openUrl(const char* url) override;
};

// Queues work on the thread of `context`, an object that lives on the UI
// thread and outlives every caller; work still queued when it goes is dropped.
class QtUiThread final : public ui::UiThread {
  public:
    explicit QtUiThread(QObject* context) : mContext(context) {}
    void performLater(std::function<void()> op) override;

  private:
    QObject* mContext;
};
