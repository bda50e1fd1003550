// Opens the program's windows against an in-process local service, walks through login, compose,
// thanks, the address book and the about window, and saves a picture of each from the screen, so
// that shaped windows show against the desktop. Run it on an X display (scripts/make-screenshots).
// Usage: vantro-screenshot-tour OUTPUT_DIR

#include "server/store/DemoData.h"
#include "server/app/Server.h"
#include "addressbook/frm_ab.h"
#include "app/Global.h"
#include "app/Main.h"
#include "ui/main/frm_quorvale.h"
#include "ui/shell/Layout.h"
#include "ui/shell/Platform.h"
#include "ui/shell/frm_about.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QListView>
#include <QScreen>
#include <QTest>

#include <cstdio>

#include <curl/curl.h>

namespace {

// Nothing may block the tour: message boxes and links are only reported.
class TourPlatform final : public Platform {
public:
    void messageBox(const QString& text) override { std::fprintf(stderr, "message box: %s\n", qPrintable(text)); }
    void setWaitCursor(bool) override {}
    bool openUrl(const QString&) override { return true; }
    void startWindowMove(QWidget*) override {}
};

void settle() { QTest::qWait(400); }

bool saveShot(QWidget* window, const QString& path, int margin) {
    settle();
    const QRect area = window->frameGeometry().adjusted(-margin, -margin, margin, margin);
    const QPixmap shot = window->screen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    const bool saved = shot.save(path);
    std::printf("%s %s\n", saved ? "saved" : "FAILED", qPrintable(path));
    return saved;
}

void typeInto(QWidget* window, const char* name, const QString& text) {
    QWidget* box = Control<QWidget>(window, name);
    box->setFocus();
    QTest::keyClicks(box, text);
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    const QDir out(QString::fromLocal8Bit(argv[1]));
    TourPlatform platform;
    Platform::install(&platform);

    server::ServerOptions options;
    options.port = 0;
    options.databasePath = ":memory:";
    server::Server service(options);
    service.start();
    global::ServiceUrl = service.baseUrl();

    global::Main();
    frm_quorvale* main = frm_quorvale::instance();
    if (main == nullptr || !QTest::qWaitForWindowExposed(main)) {
        std::fprintf(stderr, "the main window did not open\n");
        return 1;
    }
    bool ok = saveShot(main, out.filePath(QStringLiteral("main-login.png")), 16);

    typeInto(main, "tb_login", QString::fromLatin1(server::kDemoLogin.data()));
    typeInto(main, "tb_password", QString::fromLatin1(server::kDemoPassword.data()));
    QTest::mouseClick(Control<QWidget>(main, "btn_login"), Qt::LeftButton);
    typeInto(main, "tb_phone", QStringLiteral("4125550199"));
    // The carrier as a user picks it with the keyboard: the list starts with nothing chosen.
    auto* carriers = Control<QComboBox>(main, "cbl_carrier");
    carriers->setFocus();
    QTest::keyClick(carriers, Qt::Key_Down);
    QTest::keyClick(carriers, Qt::Key_Down);
    typeInto(main, "tb_subject", QStringLiteral("Dinner"));
    typeInto(main, "tb_message", QStringLiteral("Table for four at 7? I'll bring dessert."));
    ok = saveShot(main, out.filePath(QStringLiteral("main-compose.png")), 16) && ok;

    QTest::mouseClick(Control<QWidget>(main, "btn_send"), Qt::LeftButton);
    ok = saveShot(main, out.filePath(QStringLiteral("main-thanks.png")), 16) && ok;

    QTest::mouseClick(Control<QWidget>(main, "pic_ab"), Qt::LeftButton);
    frm_ab* book = frm_ab::instance();
    if (book != nullptr) {
        ok = QTest::qWaitForWindowExposed(book) && ok;
        // Picks the first friend with the mouse, as a user does; the fields, carrier included, show
        // what the program loads for that row.
        auto* list = Control<QListView>(book, "lb_ab");
        if (list->model()->rowCount() > 0) {
            QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(list->model()->index(0, 0)).center());
        }
        if (Control<QComboBox>(book, "cbl_carrier")->currentText().isEmpty()) {
            std::fprintf(stderr, "the picked friend shows no carrier\n");
            ok = false;
        }
        ok = saveShot(book, out.filePath(QStringLiteral("address-book.png")), 0) && ok;
        book->close();
    } else {
        ok = false;
    }

    QTest::mouseClick(Control<QWidget>(main, "pic_about"), Qt::LeftButton);
    if (frm_about* about = frm_about::instance()) {
        ok = QTest::qWaitForWindowExposed(about) && ok;
        ok = saveShot(about, out.filePath(QStringLiteral("about.png")), 0) && ok;
    } else {
        ok = false;
    }

    service.stop();
    curl_global_cleanup();
    return ok ? 0 : 1;
}
