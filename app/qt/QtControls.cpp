#include "QtControls.h"

#include <QDesktopServices>
#include <QMessageBox>
#include <QUrl>

std::string QtTextField::stringValue() const {
    return mEdit ? mEdit->text().toStdString() : std::string();
}

void QtTextField::setStringValue(const char* text) {
    if (mEdit)
        mEdit->setText(QString::fromUtf8(text));
}

int QtCheckBox::state() const {
    return mBox && mBox->isChecked() ? 1 : 0;
}

void QtCheckBox::setState(int state) {
    if (mBox)
        mBox->setChecked(state != 0);
}

void QtPushButton::setEnabled(bool enabled) {
    if (mButton)
        mButton->setEnabled(enabled);
}

bool QtProgressIndicator::isHidden() const {
    return !mIndicator || mIndicator->isHidden();
}

void QtProgressIndicator::setHidden(bool hidden) {
    if (mIndicator)
        mIndicator->setHidden(hidden);
}

void QtProgressIndicator::startAnimation() {
    if (mIndicator)
        mIndicator->startAnimation();
}

void QtProgressIndicator::stopAnimation() {
    if (mIndicator)
        mIndicator->stopAnimation();
}

void QtAlert::runModal(const char* message) {
    QMessageBox box(QMessageBox::Warning, mParent ? mParent->windowTitle() : QString(),
                    QString::fromUtf8(message), QMessageBox::Ok, mParent);
    box.setObjectName("alert");
    box.exec();
}

bool QtBrowser::openUrl(const char* url) {
    return QDesktopServices::openUrl(QUrl(QString::fromUtf8(url)));
}

void QtUiThread::performLater(std::function<void()> op) {
    QMetaObject::invokeMethod(mContext, std::move(op), Qt::QueuedConnection);
}
