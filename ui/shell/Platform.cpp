#include "ui/shell/Platform.h"

#include "VantroConfig.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QUrl>
#include <QWidget>
#include <QWindow>

namespace {

class QtPlatform final : public Platform {
public:
    void messageBox(const QString& text) override {
        QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(config::ApplicationTitle), text, QMessageBox::Ok);
        // The text comes from the service or the user; left to guess, Qt would render "<b>" as markup.
        box.setTextFormat(Qt::PlainText);
        // An address the box gives, for one, is there to be copied.
        box.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        box.exec();
    }

    void setWaitCursor(bool wait) override {
        if (wait) {
            if (QApplication::overrideCursor() == nullptr) {
                QApplication::setOverrideCursor(Qt::WaitCursor);
            } else {
                QApplication::changeOverrideCursor(Qt::WaitCursor);
            }
            return;
        }
        while (QApplication::overrideCursor() != nullptr) {
            QApplication::restoreOverrideCursor();
        }
    }

    bool openUrl(const QString& url) override { return QDesktopServices::openUrl(QUrl(url)); }

    void startWindowMove(QWidget* window) override {
        if (window != nullptr && window->windowHandle() != nullptr) {
            window->windowHandle()->startSystemMove();
        }
    }
};

QtPlatform& qtPlatform() {
    static QtPlatform instance;
    return instance;
}

Platform* installed = nullptr;

} // namespace

Platform& Platform::current() { return installed != nullptr ? *installed : qtPlatform(); }

void Platform::install(Platform* platform) { installed = platform; }
