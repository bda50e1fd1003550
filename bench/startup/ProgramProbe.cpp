// The program as it starts, the same libraries loaded and the same steps taken, pointed at the
// service whose address is its first argument, and watched from outside:
//
//   vantro-startup-probe URL paint   reports the main window's first paint and ends
//   vantro-startup-probe URL login   then logs in as the demo user, reports once the compose
//                                    panel has been painted, and ends
//   ... URL login hold               the same, but stays until it is killed
//   vantro-startup-probe URL stages  takes the start-up steps one by one, printing when each
//                                    ended, up to the first paint
//
// It prints "painted", "logged in" or "login failed".

#include "FirstPaint.h"
#include "app/Global.h"
#include "app/Main.h"
#include "service/CarrierListExchange.h"
#include "ui/main/frm_quorvale.h"
#include "ui/shell/Controls.h"
#include "ui/shell/Layout.h"
#include "ui/shell/Navigation.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>

#include <cstring>
#include <memory>

#include <curl/curl.h>

namespace {

std::unique_ptr<FirstPaint> composePainted;

void logIn(frm_quorvale* window) {
    Control<QLineEdit>(window, "tb_login")->setText(QStringLiteral("4125551212"));
    Control<QLineEdit>(window, "tb_password")->setText(QStringLiteral("demo"));
    auto* compose = Control<QWidget>(window, "frame_txt");
    composePainted = std::make_unique<FirstPaint>(compose, [] { ReportAndEnd("logged in"); });
    Control<QPushButton>(window, "btn_login")->click();
    if (!compose->isVisible()) {
        composePainted.reset();
        ReportAndEnd("login failed");
    }
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc < 3) {
        return 2;
    }
    const bool stages = std::strcmp(argv[2], "stages") == 0;
    if (stages) {
        Stage("main");
    }
    const bool login = std::strcmp(argv[2], "login") == 0;
    holdAfterReport() = argc > 3 && std::strcmp(argv[3], "hold") == 0;
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    global::ServiceUrl = argv[1];
    if (stages) {
        Stage("application");
    }

    // The main window is made inside Main; the watch goes on as soon as it exists.
    std::unique_ptr<FirstPaint> mainPainted;
    struct WindowWatch : QObject {
        std::function<void(QWidget*)> found;
        bool eventFilter(QObject* watched, QEvent* event) override {
            if (event->type() == QEvent::Show && watched == frm_quorvale::instance() && found) {
                std::exchange(found, nullptr)(frm_quorvale::instance());
            }
            return false;
        }
    } watch;
    watch.found = [&](QWidget* window) {
        mainPainted = std::make_unique<FirstPaint>(window, [window, login] {
            if (login) {
                logIn(static_cast<frm_quorvale*>(window));
            } else {
                ReportAndEnd("painted");
            }
        });
    };
    app.installEventFilter(&watch);

    if (stages) {
        // The steps of global::Main, one at a time.
        LoadCarrierList(global::Carriers);
        Stage("carrier list");
        auto* window = new frm_quorvale;
        Stage("main window built");
        Navigation::CentreOnScreen(window);
        window->show();
        Stage("shown");
    } else {
        global::Main();
    }
    return QApplication::exec();
}
