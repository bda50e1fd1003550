#pragma once

// The fixture shared by the test files of the program's windows: opening the main window, finding
// a control by name, a free point of a surface, and showing one panel.

#include "tests/support/VantroTest.h"
#include "ui/main/frm_quorvale.h"
#include "ui/shell/Controls.h"
#include "ui/shell/Layout.h"

#include <QTest>
#include <QWidget>

// Not in an unnamed namespace: the test files share one fixture class, as GoogleTest requires of
// the tests of one suite.
class WindowShellTest : public VantroTest {
protected:
    frm_quorvale* openMain() {
        auto* window = new frm_quorvale;
        window->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(window));
        return window;
    }

    template <typename T = QWidget> static T* in(const QWidget* window, const char* name) {
        return Control<T>(window, name);
    }

    // A point of `surface` that none of its children covers.
    static QPoint freePoint(QWidget* surface) {
        for (int y = surface->height() - 1; y >= 0; --y) {
            for (int x = surface->width() - 1; x >= 0; --x) {
                if (surface->childAt(x, y) == nullptr) {
                    return {x, y};
                }
            }
        }
        ADD_FAILURE() << surface->objectName().toStdString() << " has no free point";
        return {};
    }

    static void showPanel(frm_quorvale* window, const char* panel) {
        for (const char* name : {"frame_login", "frame_txt", "frame_ty"}) {
            in(window, name)->setVisible(qstrcmp(name, panel) == 0);
        }
    }
};
