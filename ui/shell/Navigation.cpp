#include "ui/shell/Navigation.h"

#include "addressbook/frm_ab.h"
#include "ui/main/frm_quorvale.h"
#include "ui/shell/frm_about.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace Navigation {

namespace {

void bringToFront(QWidget* window) {
    if (window->isMinimized()) {
        window->showNormal();
    }
    window->show();
    window->raise();
    window->activateWindow();
}

void centreOn(QWidget* window, const QRect& area) {
    QRect frame = window->frameGeometry();
    frame.moveCenter(area.center());
    window->move(frame.topLeft());
}

} // namespace

void CentreOnScreen(QWidget* window) {
    QScreen* screen = window->screen() != nullptr ? window->screen() : QGuiApplication::primaryScreen();
    if (screen != nullptr) {
        centreOn(window, screen->availableGeometry());
    }
}

void ShowAddressBookWindow() {
    if (frm_ab* open = frm_ab::instance()) {
        bringToFront(open);
        return;
    }
    auto* window = new frm_ab;
    CentreOnScreen(window);
    window->show();
}

void ShowAboutWindow() {
    if (frm_about* open = frm_about::instance()) {
        bringToFront(open);
        return;
    }
    auto* window = new frm_about;
    if (frm_quorvale* main = frm_quorvale::instance()) {
        centreOn(window, main->frameGeometry());
    } else {
        CentreOnScreen(window);
    }
    window->show();
}

} // namespace Navigation
