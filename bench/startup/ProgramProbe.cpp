// The program as it starts, the same libraries loaded and the same steps taken, pointed at the
// service whose address is its first argument, and watched from outside:
//
//   vantro-startup-probe URL paint   reports the main window's first paint and ends
//   vantro-startup-probe URL login   then logs in as the demo user, reports once the compose
//                                    panel has been painted, and ends
//   ... URL login hold               the same, but stays until it is killed
//   vantro-startup-probe URL stages  takes the start-up steps one by one, printing when each
//                                    ended, up to the first paint
//   vantro-startup-probe URL book    logs in, opens the address book window once the compose
//                                    panel has been painted, as a user would, and reports the
//                                    process's CPU time from the Login click to the address book
//                                    window's first paint: "book opened NANOSECONDS"
//
// It prints "painted", "logged in", "login failed" or the book's line. With
// QT_LINUX_ACCESSIBILITY_ALWAYS_ON set, "book" first waits for the screen reader bridge to be
// active, and prints "accessibility not active" if it never is.

#include "FirstPaint.h"
#include "addressbook/frm_ab.h"
#include "app/Global.h"
#include "app/Main.h"
#include "service/CarrierListExchange.h"
#include "ui/main/frm_quorvale.h"
#include "ui/shell/Controls.h"
#include "ui/shell/Layout.h"
#include "ui/shell/Navigation.h"

#include <QAccessible>
#include <QApplication>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
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

std::unique_ptr<FirstPaint> bookPainted;

long long cpuNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

void openAddressBookAfterLogin(frm_quorvale* window) {
    Control<QLineEdit>(window, "tb_login")->setText(QStringLiteral("4125551212"));
    Control<QLineEdit>(window, "tb_password")->setText(QStringLiteral("demo"));
    auto* compose = Control<QWidget>(window, "frame_txt");
    const long long start = cpuNanoseconds();
    composePainted = std::make_unique<FirstPaint>(compose, [window, start] {
        Q_EMIT Control<PictureButton>(window, "pic_ab")->clicked();
        frm_ab* book = frm_ab::instance();
        if (book == nullptr) {
            ReportAndEnd("no address book window");
            return;
        }
        // The window itself is covered by its background picture and gets no paint of its own; the
        // list is painted in the same pass as the rest of it, and only once it has been laid out.
        QWidget* rows = Control<QListView>(book, "lb_ab")->viewport();
        bookPainted = std::make_unique<FirstPaint>(rows, [start] {
            char line[64];
            std::snprintf(line, sizeof line, "book opened %lld", cpuNanoseconds() - start);
            ReportAndEnd(line);
        });
    });
    Control<QPushButton>(window, "btn_login")->click();
    if (!compose->isVisible()) {
        composePainted.reset();
        ReportAndEnd("login failed");
    }
}

// Calls `then` once the screen reader bridge is active, which it becomes some messages after the
// application starts.
void whenAccessibilityActive(std::function<void()> then, int triesLeft = 500) {
    if (QAccessible::isActive()) {
        then();
    } else if (triesLeft == 0) {
        ReportAndEnd("accessibility not active");
    } else {
        QTimer::singleShot(20, [then = std::move(then), triesLeft] { whenAccessibilityActive(then, triesLeft - 1); });
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
    const bool book = std::strcmp(argv[2], "book") == 0;
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
        mainPainted = std::make_unique<FirstPaint>(window, [window, login, book] {
            if (book && qEnvironmentVariableIsSet("QT_LINUX_ACCESSIBILITY_ALWAYS_ON")) {
                whenAccessibilityActive([window] { openAddressBookAfterLogin(static_cast<frm_quorvale*>(window)); });
            } else if (book) {
                openAddressBookAfterLogin(static_cast<frm_quorvale*>(window));
            } else if (login) {
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
