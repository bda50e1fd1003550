// The windows from the keyboard: what typing into the boxes may enter, Enter in the login panel,
// the Tab order, picture buttons pressed by key, and where the focus goes when a window opens.

#include "tests/ui/WindowShellFixture.h"

#include "addressbook/frm_ab.h"
#include "ui/shell/frm_about.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>

#include <functional>
#include <tuple>

TEST_F(WindowShellTest, textBoxesKeepTheirLimits) {
    frm_quorvale* main = openMain();
    showPanel(main, "frame_txt");
    frm_ab book;
    book.show();
    const std::tuple<QWidget*, const char*, int> limited[] = {{main, "tb_login", 10},
                                                              {main, "tb_phone", 10},
                                                              {main, "tb_subject", 50},
                                                              {&book, "tb_name", 50},
                                                              {&book, "tb_phone", 10}};
    for (const auto& [window, name, limit] : limited) {
        auto* box = in<QLineEdit>(window, name);
        box->setFocus();
        QTest::keyClicks(box, QString(limit + 1, QLatin1Char('7')));
        EXPECT_EQ(box->text().size(), limit) << name;
    }
    // Only typing is limited: a longer entry from the service is kept whole, and can be shortened.
    auto* name = in<QLineEdit>(&book, "tb_name");
    SetWholeText(name, QString(60, QLatin1Char('n')));
    EXPECT_EQ(name->text().size(), 60);
    name->setFocus();
    name->end(false);
    QTest::keyClicks(name, qs("x"));
    EXPECT_EQ(name->text().size(), 60);
    QTest::keyClick(name, Qt::Key_Backspace);
    EXPECT_EQ(name->text().size(), 59);

    auto* password = in<QLineEdit>(main, "tb_password");
    QTest::keyClicks(password, QString(200, QLatin1Char('p')));
    EXPECT_EQ(password->text().size(), 200);
    EXPECT_EQ(password->echoMode(), QLineEdit::Password);
    EXPECT_NE(password->styleSheet().indexOf(qs("lineedit-password-character: 42")), -1) << "shown as *";

    // The message counts a line break as two characters and is read with CR LF.
    auto* message = in<MultiLineTextBox>(main, "tb_message");
    message->setFocus();
    QTest::keyClicks(message, qs("ab"));
    QTest::keyClick(message, Qt::Key_Return);
    QTest::keyClicks(message, qs("c"));
    EXPECT_EQ(message->text(), qs("ab\r\nc"));
    QTest::keyClicks(message, QString(160, QLatin1Char('x')));
    EXPECT_EQ(MultiLineTextBox::crlfLength(message->toPlainText()), 160);
    QTest::keyClick(message, Qt::Key_Return);
    QTest::keyClicks(message, qs("y"));
    EXPECT_EQ(MultiLineTextBox::crlfLength(message->toPlainText()), 160) << "the 161st character is refused";

    message->setText(QString(159, QLatin1Char('m')));
    message->moveCursor(QTextCursor::End);
    QTest::keyClick(message, Qt::Key_Return);
    EXPECT_EQ(message->text().size(), 159) << "a line break needs room for two characters";
}

TEST_F(WindowShellTest, enterAnywhereInTheLoginPanelClicksLogin) {
    frm_quorvale* main = openMain();
    QSignalSpy clicks(in<QPushButton>(main, "btn_login"), &QPushButton::clicked);
    for (const char* field : {"tb_login", "tb_password"}) {
        in(main, field)->setFocus();
        QTest::keyClick(in(main, field), Qt::Key_Return);
    }
    QTest::keyClick(in(main, "tb_password"), Qt::Key_Enter);
    EXPECT_EQ(clicks.count(), 3);

    // Not once the login panel is gone.
    showPanel(main, "frame_txt");
    in(main, "tb_subject")->setFocus();
    QTest::keyClick(in(main, "tb_subject"), Qt::Key_Return);
    EXPECT_EQ(clicks.count(), 3);
}

TEST_F(WindowShellTest, keyboardOrderSkipsLabelsPanelsAndBackgrounds) {
    frm_quorvale* main = openMain();
    auto* book = new frm_ab;
    book->show();
    auto* about = new frm_about;
    about->show();
    const auto tabOrder = [](QWidget* window, const char* first, int steps) {
        window->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(window));
        Control<QWidget>(window, first)->setFocus(Qt::TabFocusReason);
        QStringList order;
        for (int i = 0; i < steps; ++i) {
            QWidget* current = QApplication::focusWidget();
            order << (current != nullptr ? current->objectName() : qs("(none)"));
            QTest::keyClick(current, Qt::Key_Tab);
        }
        return order;
    };
    struct Case {
        QWidget* window;
        const char* first;
        QStringList order; // one full round
    };
    const Case cases[] = {
        {main,
         "tb_login",
         {qs("tb_login"), qs("tb_password"), qs("btn_login"), qs("pic_close"), qs("pic_min"), qs("pic_about")}},
        {book,
         "btn_add",
         {qs("btn_add"), qs("cbl_carrier"), qs("tb_phone"), qs("tb_name"), qs("lb_ab"), qs("pic_close")}},
        {about, "pic_close", {qs("pic_close")}},
    };
    for (const Case& c : cases) {
        const QStringList round = c.order + QStringList{c.order.first()};
        EXPECT_EQ(tabOrder(c.window, c.first, static_cast<int>(round.size())), round) << c.first;
    }
    // The address book picture takes its place once shown, after the about picture.
    in(main, "pic_ab")->show();
    EXPECT_EQ(tabOrder(main, "pic_about", 3), (QStringList{qs("pic_about"), qs("pic_ab"), qs("tb_login")}));

    EXPECT_EQ(in(main, "tb_chars")->focusPolicy(), Qt::StrongFocus);
    EXPECT_FALSE(in(main, "tb_chars")->isEnabled()) << "so it never takes the focus";
    EXPECT_EQ(in(main, "picBackground")->focusPolicy(), Qt::NoFocus);
    EXPECT_EQ(in(book, "pic_background")->focusPolicy(), Qt::NoFocus);
    EXPECT_EQ(in(about, "Picture1")->focusPolicy(), Qt::NoFocus);
}

TEST_F(WindowShellTest, pictureButtonsWorkFromTheKeyboardButAClickLeavesTheFocus) {
    frm_quorvale* main = openMain();
    main->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(main));

    // A click does not move the focus, and draws nothing new.
    in(main, "tb_password")->setFocus();
    const QImage unfocused = in(main, "pic_min")->grab().toImage();
    QTest::mousePress(in(main, "pic_about"), Qt::LeftButton);
    EXPECT_EQ(QApplication::focusWidget(), in(main, "tb_password"));
    QTest::mouseRelease(in(main, "pic_about"), Qt::LeftButton);
    ASSERT_NE(frm_about::instance(), nullptr);
    frm_about::instance()->close();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    main->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(main));

    // The focus that Tab brings is drawn.
    in(main, "pic_min")->setFocus(Qt::TabFocusReason);
    EXPECT_NE(in(main, "pic_min")->grab().toImage(), unfocused) << "no focus rectangle";

    // The focus rectangle is not lost when another window is activated and this one again.
    auto* other = new frm_about;
    other->show();
    other->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(other));
    main->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(main));
    ASSERT_EQ(QApplication::focusWidget(), in(main, "pic_min"));
    EXPECT_NE(in(main, "pic_min")->grab().toImage(), unfocused) << "the focus rectangle did not come back";
    other->close();

    // A key held down presses once; its auto-repeats do not press again.
    const auto held = [](QWidget* button, Qt::Key key) {
        QTest::keyPress(button, key);
        for (int repeat = 0; repeat < 3; ++repeat) {
            QKeyEvent again(QEvent::KeyPress, key, Qt::NoModifier, QString(), true);
            QApplication::sendEvent(button, &again);
        }
        QTest::keyRelease(button, key);
    };
    const auto clicked = [](QWidget* button, Qt::Key key) { QTest::keyClick(button, key); };
    int aboutOpenings = 0;
    struct Case {
        Qt::Key key;
        const char* button;
        std::function<void(QWidget*, Qt::Key)> press;
        std::function<bool()> done;
    };
    const Case cases[] = {
        {Qt::Key_Space, "pic_min", clicked, [main] { return main->isMinimized(); }},
        {Qt::Key_Return, "pic_about", clicked, [] { return frm_about::instance() != nullptr; }},
        {Qt::Key_Space, "pic_about", held, [&aboutOpenings] { return aboutOpenings == 1; }},
        {Qt::Key_Enter, "pic_close", clicked, [main] { return !main->isVisible(); }},
    };
    for (const Case& c : cases) {
        main->showNormal();
        main->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(main));
        QWidget* button = in(main, c.button);
        button->setFocus(Qt::TabFocusReason);
        ASSERT_EQ(QApplication::focusWidget(), button) << c.button;
        if (frm_about::instance() != nullptr) {
            frm_about::instance()->close();
            QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
        aboutOpenings = 0;
        const auto counter = QObject::connect(static_cast<PictureButton*>(button), &PictureButton::clicked, [&aboutOpenings] {
            ++aboutOpenings;
        });
        EXPECT_FALSE(c.done()) << c.button;
        c.press(button, c.key);
        QObject::disconnect(counter);
        EXPECT_TRUE(c.done()) << c.button << " key " << c.key;
    }
}

TEST_F(WindowShellTest, aWindowOpensWithTheFocusOnItsFirstControlNeverOnAPicture) {
    frm_quorvale* main = openMain();
    in(main, "pic_ab")->show();
    struct Case {
        const char* opener;
        std::function<QWidget*()> opened;
        const char* focused; // nullptr: the window itself
        Qt::Key key;
        std::function<bool()> pressed; // what the key did
    };
    const Case cases[] = {
        {"pic_ab", [] { return frm_ab::instance(); }, "btn_add", Qt::Key_Space,
         [] { return Control<QWidget>(frm_ab::instance(), "btn_save")->isVisible(); }},
        {"pic_about", [] { return frm_about::instance(); }, nullptr, Qt::Key_Return,
         [] { return frm_about::instance() == nullptr || !frm_about::instance()->isVisible(); }},
    };
    for (const Case& c : cases) {
        QTest::mouseClick(in(main, c.opener), Qt::LeftButton);
        QWidget* window = c.opened();
        ASSERT_NE(window, nullptr) << c.opener;
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window));
        EXPECT_EQ(QApplication::focusWidget(), c.focused != nullptr ? in(window, c.focused) : window) << c.opener;
        QTest::keyClick(window->windowHandle(), c.key);
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_EQ(c.pressed(), c.focused != nullptr) << c.opener << ": the key pressed the wrong control";
        EXPECT_TRUE(main->isVisible());
    }
}
