#include "app/Main.h"

#include <QApplication>
#include <QWidget>

#include <algorithm>

#include <curl/curl.h>

int main(int argc, char* argv[]) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int qtArgc = global::QtArgumentCount(argc);
    QApplication app(qtArgc, argv);

    global::Main();

    const QWidgetList windows = QApplication::topLevelWidgets();
    const bool anyShown = std::any_of(windows.begin(), windows.end(), [](QWidget* w) { return w->isVisible(); });
    const int status = anyShown ? QApplication::exec() : 0;
    curl_global_cleanup();
    return status;
}
