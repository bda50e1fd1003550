#include "tests/support/VantroTest.h"

#include "app/Global.h"
#include "service/HttpPost.h"

#include <QApplication>
#include <QWidget>

void PlatformRecorder::startWindowMove(QWidget* window) {
    const QString name = window != nullptr ? window->objectName() : QStringLiteral("(none)");
    moves << name;
    events << QStringLiteral("move: ") + name;
}

void closeAllWindows() {
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget* window : windows) {
        delete window;
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
