// The windows' shape and chrome: where each control stands and how it starts, dragging by the
// surfaces, opening and closing the windows, link labels, captions, colours and the icon.

#include "tests/ui/WindowShellFixture.h"

#include "addressbook/frm_ab.h"
#include "app/Global.h"
#include "ui/shell/Layout.h"
#include "ui/shell/Platform.h"
#include "ui/shell/frm_about.h"

#include <QApplication>
#include <QComboBox>
#include <QFontMetrics>
#include <QImageReader>
#include <QLineEdit>
#include <QMessageBox>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <utility>

TEST_F(WindowShellTest, everyControlStandsWhereItsLayoutPutsIt) {
    frm_quorvale main;
    frm_ab book;
    frm_about about;
    for (const auto& [window, layout] : {std::pair<QWidget*, const WindowLayout*>{&main, &MainWindowLayout()},
                                         {&book, &AddressBookWindowLayout()},
                                         {&about, &AboutWindowLayout()}}) {
        EXPECT_EQ(window->objectName().toStdString(), layout->name);
        EXPECT_EQ(window->windowTitle().toStdString(), layout->caption);
        EXPECT_TRUE(window->windowFlags().testFlag(Qt::FramelessWindowHint));
        EXPECT_EQ(window->size(), QSize(TwipsToPixels(layout->width), TwipsToPixels(layout->height)));
        for (const ControlEntry& entry : layout->controls) {
            SCOPED_TRACE(entry.name);
            QWidget* control = Control<QWidget>(window, entry.name.c_str());
            const std::string container =
                control->parentWidget() == window ? std::string() : control->parentWidget()->objectName().toStdString();
            EXPECT_EQ(container, entry.container);
            EXPECT_EQ(control->geometry(), QRect(TwipsToPixels(entry.left), TwipsToPixels(entry.top),
                                                 TwipsToPixels(entry.width), TwipsToPixels(entry.height)));
            EXPECT_EQ(control->isHidden(), (entry.style & Hidden) != 0);
        }
    }
    EXPECT_EQ(main.size(), QSize(280, 354));
    EXPECT_EQ(book.size(), QSize(409, 209));
    EXPECT_EQ(about.size(), QSize(159, 208));
    EXPECT_FALSE(main.windowIcon().isNull());
}

TEST_F(WindowShellTest, startsWithTheLoginPanelAndTheDesignedStates) {
    frm_quorvale* main = openMain();
    EXPECT_TRUE(in(main, "frame_login")->isVisible());
    EXPECT_FALSE(in(main, "frame_txt")->isVisible());
    EXPECT_FALSE(in(main, "frame_ty")->isVisible());
    EXPECT_FALSE(in(main, "pic_ab")->isVisible());
    for (const char* shown : {"pic_min", "pic_close", "pic_about"}) {
        EXPECT_TRUE(in(main, shown)->isVisible()) << shown;
    }
    EXPECT_EQ(QApplication::focusWidget(), in(main, "tb_login"));

    EXPECT_TRUE(in<QRadioButton>(main, "option_new")->isChecked());
    EXPECT_FALSE(in<QRadioButton>(main, "option_ab")->isChecked());
    for (const char* hidden : {"lbl_ab", "cbl_ab"}) {
        EXPECT_TRUE(in(main, hidden)->isHidden()) << hidden;
    }
    for (const char* shown : {"lbl_phone", "tb_phone", "lbl_carrier", "cbl_carrier"}) {
        EXPECT_FALSE(in(main, shown)->isHidden()) << shown;
    }
    auto* chars = in<QLineEdit>(main, "tb_chars");
    EXPECT_EQ(chars->text(), qs("115"));
    EXPECT_FALSE(chars->isEnabled());
    EXPECT_EQ(in<QComboBox>(main, "cbl_carrier")->currentText(), QString());
    EXPECT_FALSE(in<QComboBox>(main, "cbl_carrier")->isEditable());
    EXPECT_FALSE(in<QComboBox>(main, "cbl_ab")->isEditable());
    for (const char* label : {"lbl_ty", "lbl_ty_ad", "lbl_ty_link"}) {
        EXPECT_EQ(in<QLabel>(main, label)->text(), qs(".")) << label;
    }
    EXPECT_TRUE(in(main, "lbl_ty_link")->isHidden());

    frm_ab book;
    EXPECT_TRUE(in(&book, "btn_save")->isHidden());
    EXPECT_TRUE(in(&book, "btn_delete")->isHidden());
    EXPECT_FALSE(in(&book, "btn_add")->isHidden());
}

TEST_F(WindowShellTest, pressingAnyButtonOnADragSurfaceMovesItsWindowAndNothingElseDoes) {
    frm_quorvale* main = openMain();
    auto* book = new frm_ab;
    book->show();
    auto* about = new frm_about;
    about->show();

    const auto pressOn = [](QWidget* widget, QPoint at, Qt::MouseButton button, Qt::KeyboardModifiers modifiers) {
        QTest::mousePress(widget, button, modifiers, at);
        QTest::mouseRelease(widget, button, modifiers, at);
    };
    const std::pair<Qt::MouseButton, Qt::KeyboardModifiers> presses[] = {
        {Qt::LeftButton, Qt::NoModifier},
        {Qt::RightButton, Qt::ShiftModifier},
        {Qt::MiddleButton, Qt::ControlModifier | Qt::AltModifier}};

    struct Surface {
        QWidget* window;
        const char* panel;   // shown first, or nullptr
        const char* surface; // nullptr: the window itself
    };
    const Surface surfaces[] = {{main, "frame_login", "frame_login"}, {main, "frame_txt", "frame_txt"},
                                {main, "frame_ty", "frame_ty"},       {main, "frame_login", "picBackground"},
                                {main, "frame_login", nullptr},       {about, nullptr, "Picture1"},
                                {book, nullptr, "pic_background"}};
    for (const Surface& s : surfaces) {
        if (s.panel != nullptr) {
            showPanel(main, s.panel);
        }
        QWidget* surface = s.surface != nullptr ? in(s.window, s.surface) : s.window;
        for (const auto& [button, modifiers] : presses) {
            recorder.moves.clear();
            pressOn(surface, freePoint(surface), button, modifiers);
            EXPECT_EQ(recorder.moves, QStringList{s.window->objectName()})
                << (s.surface ? s.surface : "window") << " button " << button;
        }
    }

    recorder.moves.clear();
    const std::pair<const char*, const char*> notSurfaces[] = {
        {"frame_login", "Label1"},    {"frame_login", "Label4"},      {"frame_login", "lbl_msg_login"},
        {"frame_login", "tb_login"},  {"frame_login", "btn_login"},   {"frame_login", "pic_about"},
        {"frame_login", "pic_min"},   {"frame_txt", "frame_address"}, {"frame_txt", "Label12"},
        {"frame_txt", "option_ab"},   {"frame_txt", "tb_chars"},      {"frame_txt", "tb_message"},
        {"frame_txt", "cbl_carrier"}, {"frame_txt", "Label16"},       {"frame_ty", "lbl_ty_ad"},
        {"frame_ty", "btn_again"}};
    for (const auto& [panel, name] : notSurfaces) {
        showPanel(main, panel);
        QWidget* control = in(main, name);
        pressOn(control, control->rect().center(), Qt::RightButton, Qt::NoModifier);
        pressOn(control, QPoint(1, 1), Qt::LeftButton, Qt::NoModifier);
    }
    in(main, "pic_ab")->show();
    for (QWidget* control : {in(main, "pic_ab"), in(about, "Label8"), in(about, "Label4"), in(about, "pic_close"),
                             in(book, "lb_ab"), in(book, "lbl_msg"), in(book, "btn_add"), in(book, "tb_name")}) {
        pressOn(control, QPoint(1, 1), Qt::RightButton, Qt::NoModifier);
    }
    EXPECT_TRUE(recorder.moves.isEmpty()) << recorder.moves.join(qs(", ")).toStdString();
}

TEST_F(WindowShellTest, windowsOpenOnceAndCloseAloneAndComeBackFresh) {
    frm_quorvale* main = openMain();
    QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);

    in(main, "pic_ab")->show();
    QTest::mouseClick(in(main, "pic_about"), Qt::LeftButton);
    QTest::mouseClick(in(main, "pic_about"), Qt::LeftButton);
    QTest::mouseClick(in(main, "pic_ab"), Qt::LeftButton);
    QTest::mouseClick(in(main, "pic_ab"), Qt::LeftButton);
    int abouts = 0;
    int books = 0;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        abouts += qobject_cast<frm_about*>(window) != nullptr ? 1 : 0;
        books += qobject_cast<frm_ab*>(window) != nullptr ? 1 : 0;
    }
    EXPECT_EQ(abouts, 1);
    EXPECT_EQ(books, 1);
    ASSERT_NE(frm_about::instance(), nullptr);
    EXPECT_TRUE(frm_about::instance()->isVisible());
    EXPECT_EQ(frm_about::instance()->parentWidget(), nullptr) << "no owner";
    EXPECT_EQ(frm_about::instance()->geometry().center(), main->geometry().center());

    // Asked for again, a minimised window comes back rather than staying on the task bar.
    const std::pair<const char*, QWidget*> reopened[] = {{"pic_about", frm_about::instance()},
                                                         {"pic_ab", frm_ab::instance()}};
    for (const auto& [opener, opened] : reopened) {
        opened->showMinimized();
        QTest::mouseClick(in(main, opener), Qt::LeftButton);
        EXPECT_FALSE(opened->isMinimized()) << opener;
        EXPECT_TRUE(opened->isVisible()) << opener;
    }

    // A closed window is gone; the next one starts from its layout again.
    Control<QLineEdit>(frm_ab::instance(), "tb_name")->setText(qs("typed"));
    Control<QWidget>(frm_ab::instance(), "btn_save")->show();
    QTest::mouseClick(Control<QWidget>(frm_ab::instance(), "pic_close"), Qt::LeftButton);
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(frm_ab::instance(), nullptr);
    QTest::mouseClick(in(main, "pic_ab"), Qt::LeftButton);
    ASSERT_NE(frm_ab::instance(), nullptr);
    EXPECT_EQ(Control<QLineEdit>(frm_ab::instance(), "tb_name")->text(), QString());
    EXPECT_TRUE(Control<QWidget>(frm_ab::instance(), "btn_save")->isHidden());

    // Closing the main window leaves the others, and the program, running until the last closes.
    bool runningAfterMainClosed = false;
    bool runningAfterAboutClosed = false;
    bool timedOut = false;
    // The timers go with this test: one still pending would write to its ended stack frame.
    QObject thisTest;
    QTimer::singleShot(0, &thisTest, [&] { QTest::mouseClick(in(main, "pic_close"), Qt::LeftButton); });
    QTimer::singleShot(50, &thisTest, [&] {
        runningAfterMainClosed = frm_quorvale::instance() == nullptr;
        QTest::mouseClick(Control<QWidget>(frm_about::instance(), "pic_close"), Qt::LeftButton);
    });
    QTimer::singleShot(100, &thisTest, [&] {
        runningAfterAboutClosed = frm_about::instance() == nullptr;
        QTest::mouseClick(Control<QWidget>(frm_ab::instance(), "pic_close"), Qt::LeftButton);
    });
    QTimer::singleShot(5000, &thisTest, [&] {
        timedOut = true;
        QApplication::exit(2);
    });
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_TRUE(runningAfterMainClosed);
    EXPECT_TRUE(runningAfterAboutClosed);
    EXPECT_FALSE(timedOut) << "the program went on after its last window closed";
    EXPECT_EQ(lastClosed.count(), 1);
}

TEST_F(WindowShellTest, minimiseWorksFromEveryPanel) {
    frm_quorvale* main = openMain();
    for (const char* panel : {"frame_login", "frame_txt", "frame_ty"}) {
        main->showNormal();
        showPanel(main, panel);
        QTest::mouseClick(in(main, "pic_min"), Qt::LeftButton);
        EXPECT_TRUE(main->isMinimized()) << panel;
    }
}

TEST_F(WindowShellTest, linkLabelsOpenTheirPagesAndContactLinesDoNothing) {
    global::ServiceUrl = "http://sms.example.net";
    frm_quorvale* main = openMain();
    auto* about = new frm_about;
    about->show();
    const std::pair<QWidget*, const char*> links[] = {{main, "Label18"}, {main, "Label4"},  {main, "Label7"},
                                                      {main, "Label23"}, {about, "Label6"}, {about, "Label5"},
                                                      {about, "Label6"}};
    for (const auto& [window, name] : links) {
        if (qstrcmp(name, "Label23") == 0) {
            showPanel(main, "frame_ty");
        }
        QTest::mouseClick(in(window, name), Qt::LeftButton);
    }
    for (const char* text : {"Label3", "Label7", "Label8", "Label1", "Label2"}) {
        QTest::mouseClick(in(about, text), Qt::LeftButton);
    }
    EXPECT_EQ(recorder.urls,
              (QStringList{qs("http://sms.example.net/vantro_updates.aspx"),
                           qs("http://sms.example.net/login.aspx?regstart=true"),
                           qs("http://sms.example.net/login.aspx?forgot=true"),
                           qs("http://sms.example.net/vantro_updates.aspx"), qs("http://sms.example.net"),
                           qs("http://www.quorvale.example"), qs("http://sms.example.net")}));
    EXPECT_TRUE(in(main, "frame_ty")->isVisible()) << "opening a page changes nothing in the window";
    for (const char* name : {"Label18", "Label4", "Label7", "Label23", "lbl_ty_link"}) {
        EXPECT_EQ(in<QLabel>(main, name)->palette().color(QPalette::WindowText), QColor(0, 0, 255)) << name;
        EXPECT_EQ(in(main, name)->cursor().hotSpot(), QPoint(13, 5)) << name;
    }
}

TEST_F(WindowShellTest, everyFixedCaptionFitsItsBox) {
    frm_quorvale main;
    frm_ab book;
    frm_about about;
    for (QWidget* window :
         {static_cast<QWidget*>(&main), static_cast<QWidget*>(&book), static_cast<QWidget*>(&about)}) {
        for (QLabel* label : window->findChildren<QLabel*>()) {
            if (label->text().isEmpty() || label->text() == qs(".")) {
                continue;
            }
            const QRect needed =
                QFontMetrics(label->font())
                    .boundingRect(QRect(0, 0, label->width(), 10000), Qt::TextWordWrap | Qt::AlignLeft, label->text());
            EXPECT_LE(needed.width(), label->width()) << label->objectName().toStdString();
            EXPECT_LE(needed.height(), label->height())
                << label->objectName().toStdString() << ": " << label->text().toStdString();
        }
    }
    EXPECT_EQ(QFontInfo(main.font()).pixelSize(), 11);
    EXPECT_EQ(QFontInfo(main.font()).family(), qs("Liberation Sans Narrow"))
        << "the stand-in the layout was measured with";
}

namespace {

double relativeLuminance(const QColor& colour) {
    auto channel = [](double value) {
        return value <= 0.03928 ? value / 12.92 : std::pow((value + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(colour.redF()) + 0.7152 * channel(colour.greenF()) + 0.0722 * channel(colour.blueF());
}

} // namespace

TEST_F(WindowShellTest, controlsAreDrawnInTheirDesignedColours) {
    frm_quorvale* main = openMain();
    showPanel(main, "frame_txt");
    frm_ab book;
    book.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&book));
    in(&book, "btn_delete")->show();

    struct Case {
        QWidget* control;
        QPoint point; // in the control, where no text or edge is drawn
        QColor expected;
    };
    auto* option = in(main, "option_new");
    auto* remove = in(&book, "btn_delete");
    auto* carriers = in(&book, "cbl_carrier");
    const Case cases[] = {
        {option, QPoint(option->width() - 2, option->height() / 2), QColor(0xE4, 0xE4, 0xE4)},
        {remove, QPoint(4, 4), QColor(0xFF, 0x00, 0x00)},
        {remove, QPoint(remove->width() - 5, remove->height() - 5), QColor(0xFF, 0x00, 0x00)},
        // Flat: one thin line, then the plain face.
        {carriers, QPoint(0, carriers->height() / 2), QColor(0x7A, 0x7A, 0x7A)},
        {carriers, QPoint(1, carriers->height() / 2), QColor(0xFF, 0xFF, 0xFF)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.control->objectName().toStdString());
        const QImage image = c.control->grab().toImage();
        EXPECT_EQ(image.pixelColor(c.point).name().toStdString(), c.expected.name().toStdString())
            << c.point.x() << "," << c.point.y();
    }

    // The disabled counter stays readable: its darkest pixel against its face, at least 4.5:1.
    auto* chars = in<QLineEdit>(main, "tb_chars");
    ASSERT_FALSE(chars->isEnabled());
    const QImage counter = chars->grab().toImage();
    const QColor face = counter.pixelColor(counter.width() - 3, counter.height() / 2);
    double darkest = 1.0;
    for (int y = 2; y < counter.height() - 2; ++y) {
        for (int x = 2; x < counter.width() - 2; ++x) {
            darkest = std::min(darkest, relativeLuminance(counter.pixelColor(x, y)));
        }
    }
    EXPECT_EQ(face.name().toStdString(), "#ffffff");
    EXPECT_GE((relativeLuminance(face) + 0.05) / (darkest + 0.05), 4.5);
}

TEST_F(WindowShellTest, programIconHoldsEverySizeOfTheIconFileInFullColour) {
    frm_quorvale main;
    const QIcon icon = main.windowIcon();
    QImageReader file(qs(":/pictures/vantro.ico"));
    ASSERT_EQ(file.imageCount(), 6);
    // The file lists each size in full colour first.
    for (int index = 0; index < 3; ++index) {
        ASSERT_TRUE(file.jumpToImage(index));
        const QImage image = file.read().convertToFormat(QImage::Format_ARGB32);
        SCOPED_TRACE(image.width());
        EXPECT_TRUE(icon.availableSizes().contains(image.size()));
        EXPECT_EQ(icon.pixmap(image.size()).toImage().convertToFormat(QImage::Format_ARGB32), image);
    }
}

TEST(QtPlatform, messageBoxShowsTheTextAsPlainText) {
    const QString text = qs("Closed <b>today</b> & a < b > c");
    QString shown;
    Qt::TextFormat format = Qt::AutoText;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* box = qobject_cast<QMessageBox*>(widget); box != nullptr && box->isVisible()) {
                shown = box->text();
                format = box->textFormat();
                box->accept();
            }
        }
    });
    closer.start(20);
    Platform::current().messageBox(text);
    EXPECT_EQ(shown, text);
    EXPECT_EQ(format, Qt::PlainText);
}
