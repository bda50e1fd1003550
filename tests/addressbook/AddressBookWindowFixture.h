#pragma once

// The address book window's fixture, shared by its test files: a logged-in user with two friends and
// a service that takes every change and answers the reload with the same book.

#include "addressbook/frm_ab.h"
#include "app/Global.h"
#include "tests/support/FriendRows.h"
#include "tests/support/VantroTest.h"
#include "ui/main/frm_quorvale.h"
#include "ui/shell/Controls.h"
#include "ui/shell/Layout.h"
#include "ui/shell/Navigation.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QTest>

#include <string>
#include <utility>
#include <vector>

// Not in an unnamed namespace: the test files share one fixture class, as GoogleTest requires of
// the tests of one suite.
inline constexpr const char* UpdatePath = "/vantro_ab_update.aspx";
inline constexpr const char* BookPath = "/vantro_ab.aspx";
inline const QString Success = QStringLiteral("Update Successful.");
inline const QString SystemError =
    QStringLiteral("There was a system error.  Please check your internet connection and try again.");

inline std::string friendXml(const std::string& id, const std::string& name, const std::string& number,
                             const std::string& carrier) {
    return "<friend><id>" + id + "</id><name>" + name + "</name><number>" + number + "</number><carrier>" + carrier +
           "</carrier></friend>";
}

inline std::string bookAnswer(const std::string& friends) {
    return "<address_book><result>TRUE</result><ab>" + friends + "</ab></address_book>";
}

inline ScriptedReply answer(int status, std::string body) {
    ScriptedReply reply;
    reply.status = status;
    reply.body = std::move(body);
    return reply;
}

class AddressBookWindowTest : public VantroTest {
protected:
    void SetUp() override {
        VantroTest::SetUp();
        global::CurrentUserId = "42";
        global::Carriers = {"Verizon", "AT&T", "Sprint"};
        global::Friends = {{17, "Ann", "4125550017", "Verizon"}, {-3, "Neg", "4125550003", "AT&T"}};
        // By default the service takes every change and answers the reload with the same book.
        server.replyXml(UpdatePath, "<update>Update Successful.</update>");
        server.replyXml(BookPath, bookAnswer(friendXml("17", "Ann", "4125550017", "Verizon") +
                                             friendXml("-3", "Neg", "4125550003", "AT&amp;T")));
    }

    static frm_ab* openBook() {
        Navigation::ShowAddressBookWindow();
        frm_ab* book = frm_ab::instance();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(book));
        return book;
    }

    static void closeBook() {
        QTest::mouseClick(Control<QWidget>(frm_ab::instance(), "pic_close"), Qt::LeftButton);
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    static frm_quorvale* openMain() {
        auto* main = new frm_quorvale;
        main->show();
        return main;
    }

    template <typename T = QWidget> static T* in(const QWidget* window, const char* name) {
        return Control<T>(window, name);
    }

    static void pickRow(frm_ab* book, int row) {
        auto* list = in<QListView>(book, "lb_ab");
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(list->model()->index(row, 0)).center());
    }

    static void click(frm_ab* book, const char* button) { QTest::mouseClick(in(book, button), Qt::LeftButton); }

    static void type(frm_ab* book, const char* box, const QString& text) {
        auto* edit = in<QLineEdit>(book, box);
        edit->clear();
        QTest::keyClicks(edit, text);
    }

    static void chooseCarrier(frm_ab* book, const QString& carrier) {
        auto* carriers = in<QComboBox>(book, "cbl_carrier");
        carriers->setCurrentIndex(carriers->findText(carrier));
    }

    static QString text(frm_ab* book, const char* name) {
        if (auto* edit = qobject_cast<QLineEdit*>(in(book, name))) {
            return edit->text();
        }
        if (auto* list = qobject_cast<QComboBox*>(in(book, name))) {
            return list->currentText();
        }
        return in<QLabel>(book, name)->text();
    }

    // The id, name, number and carrier the window shows.
    static QStringList entry(frm_ab* book) {
        return {text(book, "lbl_id"), text(book, "tb_name"), text(book, "tb_phone"), text(book, "cbl_carrier")};
    }

    std::vector<std::string> updateBodies() const {
        std::vector<std::string> bodies;
        for (const RecordedRequest& request : server.requestsTo(UpdatePath)) {
            bodies.push_back(request.body);
        }
        return bodies;
    }

    const QStringList hourglassOnly{qs("cursor: wait"), qs("cursor: default")};
};
