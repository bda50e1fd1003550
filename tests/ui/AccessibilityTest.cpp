#include "addressbook/frm_ab.h"
#include "app/Global.h"
#include "tests/support/VantroTest.h"
#include "ui/main/frm_quorvale.h"
#include "ui/shell/Controls.h"
#include "ui/shell/Layout.h"
#include "ui/shell/frm_about.h"

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QSignalSpy>
#include <QTest>
#include <QUrl>

#include <map>
#include <set>
#include <string>

namespace {

class AccessibilityTest : public VantroTest {
protected:
    static QAccessibleInterface* accessible(QObject* object) {
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(object);
        EXPECT_NE(iface, nullptr) << object->objectName().toStdString();
        return iface;
    }
};

QAccessible::Role roleOf(ControlKind kind) {
    switch (kind) {
    case ControlKind::PictureButton:
    case ControlKind::Button:
        return QAccessible::Button;
    case ControlKind::Label:
    case ControlKind::MessageLabel:
        return QAccessible::StaticText;
    case ControlKind::LinkLabel:
        return QAccessible::Link;
    case ControlKind::TextBox:
    case ControlKind::MultiLineTextBox:
        return QAccessible::EditableText;
    case ControlKind::DropDownList:
        return QAccessible::ComboBox;
    case ControlKind::ListBox:
        return QAccessible::List;
    case ControlKind::OptionButton:
        return QAccessible::RadioButton;
    case ControlKind::PictureBox:
    case ControlKind::Panel:
        break;
    }
    return QAccessible::NoRole;
}

} // namespace

TEST_F(AccessibilityTest, everyControlHasTheRoleAndNameAScreenReaderNeeds) {
    // Controls without a caption of their own, by window.
    const std::map<std::string, std::map<std::string, QString>> names = {
        {"frm_quorvale",
         {{"pic_min", qs("Minimise")},
          {"pic_close", qs("Close")},
          {"pic_about", qs("About Us")},
          {"pic_ab", qs("Address Book")},
          {"tb_login", qs("Login/Phone Number")},
          {"tb_password", qs("Password")},
          {"tb_phone", qs("To Phone Number")},
          {"cbl_carrier", qs("To Carrier")},
          {"tb_subject", qs("Subject")},
          {"tb_message", qs("Message")},
          {"tb_chars", qs("Characters Left")},
          {"cbl_ab", qs("Friend")}}},
        {"frm_ab",
         {{"pic_close", qs("Close")},
          {"lb_ab", qs("Friends")},
          {"tb_name", qs("Friend's Name")},
          {"tb_phone", qs("Friend's Mobile Number")},
          {"cbl_carrier", qs("Friend's Carrier")}}},
        // The service's link is named by the host and port of the address in force.
        {"frm_about",
         {{"pic_close", qs("Close")},
          {"Label6", QUrl(QString::fromStdString(global::ServiceUrl)).authority()}}},
    };

    frm_quorvale main;
    frm_ab book;
    frm_about about;
    for (const auto& [window, layout] : {std::pair<QWidget*, const WindowLayout*>{&main, &MainWindowLayout()},
                                         {&book, &AddressBookWindowLayout()},
                                         {&about, &AboutWindowLayout()}}) {
        QAccessibleInterface* windowIface = accessible(window);
        ASSERT_NE(windowIface, nullptr);
        EXPECT_EQ(windowIface->role(), QAccessible::Window);
        EXPECT_EQ(windowIface->text(QAccessible::Name).toStdString(), layout->caption);

        std::set<std::string> named;
        for (const ControlEntry& entry : layout->controls) {
            const QAccessible::Role role = roleOf(entry.kind);
            if (role == QAccessible::NoRole) {
                continue; // panels and background pictures are surfaces, not controls
            }
            SCOPED_TRACE(layout->name + " " + entry.name);
            QAccessibleInterface* iface = accessible(Control<QWidget>(window, entry.name.c_str()));
            ASSERT_NE(iface, nullptr);
            EXPECT_EQ(iface->role(), role);
            const auto& windowNames = names.at(layout->name);
            const auto expected = windowNames.find(entry.name);
            if (expected != windowNames.end()) {
                EXPECT_EQ(iface->text(QAccessible::Name), expected->second);
                named.insert(entry.name);
            } else {
                EXPECT_FALSE(entry.caption.empty() && role != QAccessible::StaticText) << "a control with no name";
                EXPECT_EQ(iface->text(QAccessible::Name).toStdString(), entry.caption);
            }
            if (entry.kind == ControlKind::PictureButton || entry.kind == ControlKind::LinkLabel) {
                ASSERT_NE(iface->actionInterface(), nullptr);
                EXPECT_TRUE(
                    iface->actionInterface()->actionNames().contains(QAccessibleActionInterface::pressAction()));
            }
        }
        EXPECT_EQ(named.size(), names.at(layout->name).size()) << layout->name << ": a named control is missing";
    }

    // Pressing through the screen reader does what a click does.
    QSignalSpy pictureClicks(Control<PictureBox>(&main, "pic_about"), &PictureBox::clicked);
    QSignalSpy linkClicks(Control<Label>(&main, "Label4"), &Label::clicked);
    accessible(Control<QWidget>(&main, "pic_about"))
        ->actionInterface()
        ->doAction(QAccessibleActionInterface::pressAction());
    accessible(Control<QWidget>(&main, "Label4"))
        ->actionInterface()
        ->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_EQ(pictureClicks.count(), 1);
    EXPECT_EQ(linkClicks.count(), 1);
}

TEST_F(AccessibilityTest, aNewMessageBecomesTheNameOfItsLabel) {
    auto* main = new frm_quorvale;
    main->show();
    auto* book = new frm_ab;
    book->show();
    struct Case {
        QWidget* window;
        const char* panel; // shown first, or nullptr
        const char* button;
        const char* label;
    };
    // Each click leaves a refusal in its window's message label; "Add New" clears it again.
    const Case cases[] = {{main, "frame_login", "btn_login", "lbl_msg_login"},
                          {main, "frame_txt", "btn_send", "lbl_msg"},
                          {book, nullptr, "btn_save", "lbl_msg"},
                          {book, nullptr, "btn_add", "lbl_msg"}};
    for (const Case& c : cases) {
        if (c.panel != nullptr) {
            for (const char* panel : {"frame_login", "frame_txt", "frame_ty"}) {
                Control<QWidget>(c.window, panel)->setVisible(qstrcmp(panel, c.panel) == 0);
            }
        }
        auto* label = Control<QLabel>(c.window, c.label);
        Control<QWidget>(c.window, c.button)->show();
        QTest::mouseClick(Control<QWidget>(c.window, c.button), Qt::LeftButton);
        EXPECT_EQ(label->text().isEmpty(), qstrcmp(c.button, "btn_add") == 0) << c.button;
        // A label's new text is announced as a change of its name by QLabel itself, but only while
        // the label has no accessible name of its own; then its name is its text.
        EXPECT_TRUE(label->accessibleName().isEmpty()) << c.label << " would go silent";
        EXPECT_EQ(QAccessible::queryAccessibleInterface(label)->text(QAccessible::Name), label->text()) << c.button;
    }
}
