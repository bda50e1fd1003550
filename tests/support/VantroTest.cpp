#include "tests/support/VantroTest.h"

#include "app/Global.h"
#include "service/HttpPost.h"

#include <QApplication>
#include <QPointer>
#include <QWidget>

void PlatformRecorder::startWindowMove(QWidget* window) {
    const QString name = window != nullptr ? window->objectName() : QStringLiteral("(none)");
    moves << name;
    events << QStringLiteral("move: ") + name;
}

void closeAllWindows() {
    // Deleting a window deletes its pop-ups too, so hold every window weakly.
    QList<QPointer<QWidget>> windows;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->parentWidget() == nullptr) {
            windows << window;
        }
    }
    for (const QPointer<QWidget>& window : windows) {
        delete window.data();
    }
    QApplication::processEvents();
}

QString qs(const char* utf8) { return QString::fromUtf8(utf8); }

void VantroTest::SetUp() {
    closeAllWindows();
    global::CurrentUserId.clear();
    global::Carriers.clear();
    global::Friends.clear();
    global::ServiceUrl = server.url();
    transportLimits() = TransportLimits{};
}

void VantroTest::TearDown() { closeAllWindows(); }
