#include "app/Global.h"
#include "tests/support/MainWindowFixture.h"
#include "ui/shell/Controls.h"

#include <QRadioButton>

#include <functional>

namespace {

const char* const kSystemError = "There was a system error.  Please check your internet connection and try again.";
const char* const kConfirmation = "<response><send>Your message was sent to 4125551212.</send>"
                                  "<ad_text>Try our new plans</ad_text><ad_link>See the plans</ad_link>"
                                  "<ad_url>http://ads.example/plans?a=1&amp;b=2</ad_url></response>";

class ComposePanelTest : public MainWindowFixture {
protected:
    void SetUp() override {
        MainWindowFixture::SetUp();
        global::Carriers = {"Verizon", "AT&T"};
        openMainWindow();
        logIn();
    }

    MultiLineTextBox* messageBox() const { return Control<MultiLineTextBox>(window, "tb_message"); }
    QRadioButton* option(const char* name) const { return Control<QRadioButton>(window, name); }

    void chooseFriendMode() { QTest::mouseClick(option("option_ab"), Qt::LeftButton, {}, QPoint(5, 5)); }
    void chooseNumberMode() { QTest::mouseClick(option("option_new"), Qt::LeftButton, {}, QPoint(5, 5)); }

    void fillNumberMode(const char* phone, int carrier, const char* subject, const char* message) {
        lineEdit("tb_phone")->setText(qs(phone));
        comboBox("cbl_carrier")->setCurrentIndex(carrier);
        lineEdit("tb_subject")->setText(qs(subject));
        messageBox()->setText(qs(message));
    }

    void send() { QTest::mouseClick(control("btn_send"), Qt::LeftButton); }

    std::vector<RecordedRequest> sends() const { return server.requestsTo("/vantro_send.aspx"); }

    void expectComposeKeptEverything(const char* phone, const char* message) {
        EXPECT_TRUE(control("frame_txt")->isVisible());
        EXPECT_FALSE(control("frame_ty")->isVisible());
        EXPECT_EQ(lineEdit("tb_phone")->text(), qs(phone));
        EXPECT_EQ(messageBox()->text(), qs(message));
    }

    void expectPointerBackToDefault() {
        EXPECT_FALSE(recorder.waiting);
        ASSERT_FALSE(recorder.events.isEmpty());
        EXPECT_EQ(recorder.events.last(), qs("cursor: default"));
    }
};

} // namespace

TEST_F(ComposePanelTest, switchingModesSwapsTheRecipientRowsAndKeepsWhatWasChosen) {
    lineEdit("tb_phone")->setText(qs("4125551212"));
    comboBox("cbl_carrier")->setCurrentIndex(1);
    chooseFriendMode();
    for (const char* shown : {"lbl_ab", "cbl_ab"}) {
        EXPECT_TRUE(control(shown)->isVisible()) << shown;
    }
    for (const char* hidden : {"lbl_phone", "tb_phone", "lbl_carrier", "cbl_carrier"}) {
        EXPECT_FALSE(control(hidden)->isVisible()) << hidden;
    }
    comboBox("cbl_ab")->setCurrentIndex(1);
    chooseNumberMode();
    EXPECT_TRUE(control("tb_phone")->isVisible());
    EXPECT_FALSE(control("cbl_ab")->isVisible());
    EXPECT_EQ(lineEdit("tb_phone")->text(), qs("4125551212"));
    EXPECT_EQ(comboBox("cbl_carrier")->currentText(), qs("AT&T"));
    chooseFriendMode();
    EXPECT_EQ(comboBox("cbl_ab")->currentText(), qs("Ann"));
}

TEST_F(ComposePanelTest, tabIntoTheRecipientChoiceStopsOnTheSelectedOption) {
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    struct Case {
        std::function<void()> choose;
        const char* selected;
        const char* after; // the next stop: the other option is none
    };
    const Case cases[] = {
        {[this] { chooseFriendMode(); }, "option_ab", "cbl_ab"},
        {[this] { chooseNumberMode(); }, "option_new", "pic_min"},
        {[this] {
             option("option_new")->setFocus();
             QTest::keyClick(window->windowHandle(), Qt::Key_Left); // the arrows choose within the group
         },
         "option_ab", "cbl_ab"},
    };
    for (const Case& c : cases) {
        c.choose();
        control("pic_close")->setFocus(Qt::TabFocusReason); // the stop before the choice
        QTest::keyClick(window->windowHandle(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget()->objectName().toStdString(), c.selected);
        QTest::keyClick(window->windowHandle(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget()->objectName().toStdString(), c.after) << c.selected;
    }
}

TEST_F(ComposePanelTest, theCounterFollowsKeyDownAndKeyUp) {
    QLineEdit* chars = lineEdit("tb_chars");
    QWidget* subject = control("tb_subject");
    subject->setFocus();
    QTest::keyPress(subject, Qt::Key_A, {}, -1);
    EXPECT_EQ(chars->text(), qs("115")) << "on key down the key has not yet taken effect";
    QTest::keyRelease(subject, Qt::Key_A);
    EXPECT_EQ(chars->text(), qs("114"));

    messageBox()->setFocus();
    QTest::keyClicks(messageBox(), qs("hi"));
    EXPECT_EQ(chars->text(), qs("112"));
    QTest::keyClick(messageBox(), Qt::Key_Return);
    EXPECT_EQ(chars->text(), qs("110")) << "a line break counts two";
    QTest::keyClick(messageBox(), Qt::Key_Left);
    EXPECT_EQ(chars->text(), qs("110")) << "keys that change nothing recount the same";

    // Pasted or programmatic changes wait for the next key.
    messageBox()->setText(QString(160, QLatin1Char('m')));
    lineEdit("tb_subject")->setText(QString(50, QLatin1Char('s')));
    EXPECT_EQ(chars->text(), qs("110"));
    QTest::keyClick(subject, Qt::Key_Shift);
    EXPECT_EQ(chars->text(), qs("-95"));

    // Nothing stops at zero: the message still goes out.
    lineEdit("tb_phone")->setText(qs("4125551212"));
    comboBox("cbl_carrier")->setCurrentIndex(0);
    server.replyXml("/vantro_send.aspx", kConfirmation);
    send();
    EXPECT_EQ(sends().size(), 1u);
    EXPECT_TRUE(control("frame_ty")->isVisible());
    QTest::mouseClick(control("btn_again"), Qt::LeftButton);
    EXPECT_EQ(chars->text(), qs("-95")) << "the count of the sent message stays until the user types";
    EXPECT_EQ(lineEdit("tb_subject")->text(), QString());
}

TEST_F(ComposePanelTest, numberModeSendsTheDocumentByteForByte) {
    server.replyXml("/vantro_send.aspx", kConfirmation);
    fillNumberMode(" 412555121", 1, "  Tom & Jerry <3  ", "  line one\r\nsays \"a\" & 'b' <c>  ");
    send();
    ASSERT_EQ(sends().size(), 1u);
    EXPECT_EQ(sends()[0].body, "<QVRMessage>    <Reguser>77</Reguser>    <Friend>0</Friend>    <To>412555121</To>"
                               "    <Carrier>AT&amp;amp;T</Carrier>    <Subject>Tom &amp; Jerry &lt;3</Subject>"
                               "    <Body>line one\r\nsays \"a\" &amp; 'b' &lt;c&gt;</Body></QVRMessage>");
}

TEST_F(ComposePanelTest, friendModeSendsTheFriendsIdAndNoNumber) {
    server.replyXml("/vantro_send.aspx", kConfirmation);
    lineEdit("tb_phone")->setText(qs("12-x")); // left behind in the hidden phone box
    chooseFriendMode();
    comboBox("cbl_ab")->setCurrentIndex(1);
    messageBox()->setText(qs("hello"));
    send();
    ASSERT_EQ(sends().size(), 1u);
    EXPECT_EQ(sends()[0].body, "<QVRMessage>    <Reguser>77</Reguser>    <Friend>-1</Friend>    <To></To>"
                               "    <Carrier></Carrier>    <Subject></Subject>    <Body>hello</Body></QVRMessage>");
}

TEST_F(ComposePanelTest, refusesTheFirstProblemInOrderAndSendsNothing) {
    struct Case {
        bool friendMode;
        int choice; // friend or carrier index, -1 for none
        const char* phone;
        const char* message;
        const char* refusal;
    };
    const Case cases[] = {
        {false, -1, "412555121", "", "Phone number must be 10 digit numeric."},
        {false, -1, "", "", "Phone number must be 10 digit numeric."},
        {false, 0, "412-555-12", "hi", "Phone number must be 10 digit numeric."},
        {false, 0, "1125551212", "hi", "We do not support those types of numbers.  United States Only."},
        {false, 0, "0125551212", "hi", "We do not support those types of numbers.  United States Only."},
        {false, 0, "+412555121", "hi", "We do not support those types of numbers.  United States Only."},
        {false, -1, "4125551212", "", "Please select a carrier."},
        {false, 0, "4125551212", "     ", "Please enter a message."},
        {true, -1, "4125551212", "", "Please choose someone from your address book."},
        {true, 0, "", "   ", "Please enter a message."},
    };
    for (const Case& c : cases) {
        c.friendMode ? chooseFriendMode() : chooseNumberMode();
        lineEdit("tb_phone")->setText(qs(c.phone));
        comboBox(c.friendMode ? "cbl_ab" : "cbl_carrier")->setCurrentIndex(c.choice);
        messageBox()->setText(qs(c.message));
        recorder.events.clear();
        send();
        EXPECT_EQ(label("lbl_msg"), qs(c.refusal)) << c.phone << " / " << c.message;
        EXPECT_EQ(lineEdit("tb_phone")->text(), qs(c.phone)) << "nothing is cleared";
        expectPointerBackToDefault();
    }
    EXPECT_TRUE(sends().empty());
}

TEST_F(ComposePanelTest, numbersThatReadAsNumbersPassAndOnlyALineBreakIsAMessage) {
    server.replyXml("/vantro_send.aspx", "<r><send>Refused by the test</send></r>");
    const std::pair<const char*, const char*> passing[] = {
        {"-412555121", "-412555121"}, {" 412555121", "412555121"}, {"4125551212", "4125551212"}};
    for (const auto& [typed, sent] : passing) {
        fillNumberMode(typed, 0, "", "\r\n");
        send();
        ASSERT_FALSE(sends().empty()) << typed;
        EXPECT_NE(sends().back().body.find(std::string("<To>") + sent + "</To>"), std::string::npos) << typed;
        EXPECT_NE(sends().back().body.find("<Body>\r\n</Body>"), std::string::npos);
    }
}

TEST_F(ComposePanelTest, aSentMessageShowsTheThanksAndTheAdvertisement) {
    server.replyXml("/vantro_send.aspx", kConfirmation);
    fillNumberMode("4125551212", 0, "s", "m");
    chooseFriendMode();
    comboBox("cbl_ab")->setCurrentIndex(0);
    chooseNumberMode();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    control("btn_send")->setFocus();
    send();

    // The focus goes to the thank-you panel's button, never to a picture that a key would press.
    EXPECT_EQ(QApplication::focusWidget(), control("btn_again"));
    EXPECT_TRUE(control("frame_ty")->isVisible());
    EXPECT_FALSE(control("frame_txt")->isVisible());
    EXPECT_EQ(label("lbl_ty"), qs("Your message was sent to 4125551212."));
    EXPECT_EQ(label("lbl_ty_ad"), qs("Try our new plans"));
    EXPECT_EQ(label("lbl_ty_link"), qs("See the plans"));
    EXPECT_TRUE(control("lbl_ty_link")->isVisible());
    EXPECT_EQ(label("lbl_msg"), QString());
    EXPECT_EQ(window->adUrl(), qs("http://ads.example/plans?a=1&b=2"));
    expectPointerBackToDefault();

    QTest::mouseClick(control("lbl_ty_link"), Qt::LeftButton);
    EXPECT_EQ(recorder.urls, QStringList{qs("http://ads.example/plans?a=1&b=2")});

    QTest::keyClick(window->windowHandle(), Qt::Key_Space);
    EXPECT_TRUE(control("frame_txt")->isVisible());
    EXPECT_EQ(QApplication::focusWidget(), control("tb_phone")) << "the compose panel's first control";
    EXPECT_FALSE(control("frame_ty")->isVisible());
    EXPECT_EQ(window->adUrl(), QString());
    EXPECT_FALSE(control("lbl_ty_link")->isVisible());
    for (const char* emptied : {"tb_phone", "tb_subject"}) {
        EXPECT_EQ(lineEdit(emptied)->text(), QString()) << emptied;
    }
    EXPECT_EQ(messageBox()->text(), QString());
    EXPECT_EQ(comboBox("cbl_carrier")->currentIndex(), -1);
    EXPECT_EQ(comboBox("cbl_ab")->currentIndex(), -1);
    EXPECT_TRUE(option("option_new")->isChecked()) << "the mode stays";
}

TEST_F(ComposePanelTest, theAdvertisementOpensOnlyWebPagesAndSaysWhatItCannotOpen) {
    struct Case {
        const char* adUrl; // as the answer carries it
        bool desktopOpensPages;
        const char* opened; // nullptr: nothing is handed to the desktop
        const char* box;    // nullptr: no message
    };
    const Case cases[] = {
        {"https://ads.example/plans", true, "https://ads.example/plans", nullptr},
        {"file:///etc/passwd", true, nullptr, "This link does not lead to a web page:\nfile:///etc/passwd"},
        {"SMB://host/share", true, nullptr, "This link does not lead to a web page:\nSMB://host/share"},
        {"http:no-host", true, nullptr, "This link does not lead to a web page:\nhttp:no-host"},
        {"http://ads.example/&lt;b&gt;", false, "http://ads.example/<b>",
         "No web browser could be started for this page. Its address is:\nhttp://ads.example/<b>"},
    };
    for (const Case& c : cases) {
        server.replyXml("/vantro_send.aspx", std::string("<r><send>Your message was sent</send><ad_text>t</ad_text>"
                                                         "<ad_link>Link</ad_link><ad_url>") +
                                                 c.adUrl + "</ad_url></r>");
        fillNumberMode("4125551212", 0, "", "m");
        send();
        ASSERT_TRUE(control("lbl_ty_link")->isVisible()) << c.adUrl;
        recorder.urls.clear();
        recorder.messages.clear();
        recorder.desktopOpensPages = c.desktopOpensPages;
        QTest::mouseClick(control("lbl_ty_link"), Qt::LeftButton);
        EXPECT_EQ(recorder.urls, c.opened != nullptr ? QStringList{qs(c.opened)} : QStringList()) << c.adUrl;
        EXPECT_EQ(recorder.messages, c.box != nullptr ? QStringList{qs(c.box)} : QStringList()) << c.adUrl;
        QTest::mouseClick(control("btn_again"), Qt::LeftButton);
    }
}

TEST_F(ComposePanelTest, anAdvertisementWithoutAddressOrMissingStillThanks) {
    const char* answers[] = {
        "<r><send>Your message was sent</send><ad_text>t</ad_text><ad_link>Link</ad_link><ad_url></ad_url></r>",
        "<r><send>Your message was sent!</send></r>", // the message went out: no error, no second send
    };
    for (const char* answer : answers) {
        server.replyXml("/vantro_send.aspx", answer);
        fillNumberMode("4125551212", 0, "s", "m");
        send();
        EXPECT_TRUE(control("frame_ty")->isVisible()) << answer;
        EXPECT_FALSE(control("lbl_ty_link")->isVisible()) << answer;
        EXPECT_EQ(window->adUrl(), QString());
        EXPECT_NE(label("lbl_msg"), qs(kSystemError));
        QTest::mouseClick(control("lbl_ty_link"), Qt::LeftButton);
        EXPECT_TRUE(recorder.urls.isEmpty());
        QTest::mouseClick(control("btn_again"), Qt::LeftButton);
    }
    EXPECT_EQ(label("lbl_ty_link"), QString());
}

TEST_F(ComposePanelTest, failuresKeepEveryFieldAndSayWhy) {
    struct Case {
        int status;
        const char* answer;
        const char* shown;
    };
    const Case cases[] = {
        {500, "", "Send Failed.  Could not connect to site:"},
        {503, kConfirmation, "Send Failed.  Could not connect to site:"},
        {200, "<r><send>your message was sent</send></r>", "your message was sent"},
        {200, "<r><send>Your message was sen</send></r>", "Your message was sen"},
        {200, "<r><send>Limit reached. Your message was sent too often.</send></r>",
         "Limit reached. Your message was sent too often."}, // the words count only at the start
        {200, "<r><send>Unknown carrier.</send></r>", "Unknown carrier."},
        {200, "<html><body><h1>Server Error</h1></body></html>", kSystemError},
        {200, "", kSystemError},
    };
    for (const Case& c : cases) {
        server.reply("/vantro_send.aspx", c.status, c.answer);
        fillNumberMode("4125551212", 1, "s", "m");
        recorder.events.clear();
        send();
        EXPECT_EQ(label("lbl_msg"), qs(c.shown)) << c.status << " " << c.answer;
        expectComposeKeptEverything("4125551212", "m");
        EXPECT_EQ(comboBox("cbl_carrier")->currentIndex(), 1);
        EXPECT_EQ(lineEdit("tb_subject")->text(), qs("s"));
        expectPointerBackToDefault();
    }

    global::ServiceUrl = LoopbackServer::closedPortUrl();
    recorder.events.clear();
    send();
    EXPECT_EQ(label("lbl_msg"), qs(kSystemError));
    expectComposeKeptEverything("4125551212", "m");
    EXPECT_TRUE(recorder.messages.isEmpty());
    expectPointerBackToDefault();
}
