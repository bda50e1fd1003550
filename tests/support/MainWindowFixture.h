#pragma once

#include "tests/support/VantroTest.h"
#include "ui/main/frm_quorvale.h"
#include "ui/shell/Layout.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

// A shown main window against the loopback service, with shorthands for its controls.
class MainWindowFixture : public VantroTest {
protected:
    void openMainWindow() {
        window = new frm_quorvale;
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    }

    // Logs in through the login panel with the service accepting and answering `addressBook`.
    void logIn(const std::string& userId = "77", const std::string& addressBook = kTwoFriends) {
        server.replyXml("/vantro_login.aspx", "<login><result>TRUE</result><string>" + userId + "</string></login>");
        server.replyXml("/vantro_ab.aspx", addressBook);
        type("tb_login", "4125551212");
        type("tb_password", "secret");
        QTest::mouseClick(control("btn_login"), Qt::LeftButton);
        ASSERT_TRUE(control("frame_txt")->isVisible()) << label("lbl_msg_login").toStdString();
        recorder.events.clear();
    }

    QWidget* control(const char* name) const { return Control<QWidget>(window, name); }
    QLineEdit* lineEdit(const char* name) const { return Control<QLineEdit>(window, name); }
    QComboBox* comboBox(const char* name) const { return Control<QComboBox>(window, name); }
    QString label(const char* name) const { return Control<QLabel>(window, name)->text(); }

    void type(const char* name, const QString& text) {
        QWidget* box = control(name);
        box->setFocus();
        QTest::keyClicks(box, text);
    }
    void type(const char* name, const char* utf8) { type(name, QString::fromUtf8(utf8)); }

    inline static const std::string kTwoFriends =
        "<address_book><result>TRUE</result><ab>"
        "<friend><id>7</id><name>Tom &amp; Jerry</name><number>4125550007</number><carrier>AT&amp;T</carrier></friend>"
        "<friend><id>-1</id><name>Ann</name><number>4125550001</number><carrier>Verizon</carrier></friend>"
        "</ab></address_book>";

    frm_quorvale* window = nullptr;
};
