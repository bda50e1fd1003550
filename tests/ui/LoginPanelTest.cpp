#include "app/Global.h"
#include "service/HttpPost.h"
#include "tests/support/MainWindowFixture.h"

#include <chrono>
#include <string>
#include <string_view>

namespace {

const char* const kSystemError = "There was a system error.  Please check your internet connection and try again.";
const char* const kEnterBoth = "Please enter a login/mobile phone number and a password.";

class LoginPanelTest : public MainWindowFixture {
protected:
    void SetUp() override {
        MainWindowFixture::SetUp();
        openMainWindow();
    }

    void loginWith(const char* login, const char* password) {
        lineEdit("tb_login")->setText(qs(login));
        lineEdit("tb_password")->setText(qs(password));
        QTest::mouseClick(control("btn_login"), Qt::LeftButton);
    }

    void expectStillOnLoginPanel() {
        EXPECT_TRUE(control("frame_login")->isVisible());
        EXPECT_FALSE(control("frame_txt")->isVisible());
        EXPECT_FALSE(control("pic_ab")->isVisible());
    }

    void expectPointerBackToDefault() {
        EXPECT_FALSE(recorder.waiting);
        ASSERT_FALSE(recorder.events.isEmpty());
        EXPECT_EQ(recorder.events.first(), qs("cursor: wait"));
        EXPECT_EQ(recorder.events.last(), qs("cursor: default"));
    }
};

} // namespace

TEST_F(LoginPanelTest, emptyFieldsAreRefusedWithFocusAndTheWholeTextSelected) {
    struct Case {
        const char* login;
        const char* password;
        const char* focused;
        const char* selected;
    };
    const Case cases[] = {{"", "", "tb_login", ""},
                          {"   ", "secret", "tb_login", "   "},
                          {"4125551212", "", "tb_password", ""},
                          {"4125551212", "  ", "tb_password", "  "}};
    for (const Case& c : cases) {
        recorder.events.clear();
        lineEdit("tb_login")->setText(qs(c.login));
        lineEdit("tb_password")->setText(qs(c.password));
        Control<QLabel>(window, "lbl_msg_login")->setText(qs("old message"));
        QTest::mouseClick(control("btn_login"), Qt::LeftButton);

        EXPECT_EQ(label("lbl_msg_login"), qs(kEnterBoth)) << c.login << "/" << c.password;
        EXPECT_EQ(QApplication::focusWidget(), control(c.focused)) << c.login << "/" << c.password;
        EXPECT_EQ(lineEdit(c.focused)->selectedText(), qs(c.selected));
        EXPECT_EQ(lineEdit(c.focused)->selectionStart(), qs(c.selected).isEmpty() ? -1 : 0);
        EXPECT_EQ(lineEdit("tb_login")->text(), qs(c.login)) << "fields keep what was typed";
        expectPointerBackToDefault();
    }
    EXPECT_TRUE(server.requests().empty());
    expectStillOnLoginPanel();
}

TEST_F(LoginPanelTest, sendsTheTrimmedFieldsUnescaped) {
    server.replyXml("/vantro_login.aspx", "<login><result>FALSE</result><string>No.</string></login>");
    loginWith(" 41255 512", "  pa ss<&\t  ");
    const auto requests = server.requestsTo("/vantro_login.aspx");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].body, "<QVRLogin>    <Login>41255 512</Login>    <Password>pa ss<&\t</Password></QVRLogin>");
}

TEST_F(LoginPanelTest, anAcceptedLoginLoadsTheAddressBookAndOpensTheComposePanel) {
    server.replyXml("/vantro_login.aspx", "<r><x><result>TRUE</result></x><string>U&amp;1</string></r>");
    server.replyXml("/vantro_ab.aspx", kTwoFriends);
    loginWith("4125551212", "secret");

    EXPECT_EQ(global::CurrentUserId, "U&1");
    const auto retrievals = server.requestsTo("/vantro_ab.aspx");
    ASSERT_EQ(retrievals.size(), 1u);
    EXPECT_EQ(retrievals[0].body, "<QVRAB>    <User_id>U&1</User_id></QVRAB>") << "the id goes out bare";

    EXPECT_FALSE(control("frame_login")->isVisible());
    EXPECT_TRUE(control("frame_txt")->isVisible());
    EXPECT_TRUE(control("pic_ab")->isVisible());
    EXPECT_EQ(QApplication::focusWidget(), control("tb_phone"));
    EXPECT_EQ(label("lbl_msg_login"), QString());

    QComboBox* friends = comboBox("cbl_ab");
    ASSERT_EQ(friends->count(), 2);
    EXPECT_EQ(friends->itemText(0), qs("Tom & Jerry"));
    EXPECT_EQ(friends->itemData(0).toInt(), 7);
    EXPECT_EQ(friends->itemText(1), qs("Ann"));
    EXPECT_EQ(friends->itemData(1).toInt(), -1);
    EXPECT_EQ(friends->currentIndex(), -1);
    expectPointerBackToDefault();
}

TEST_F(LoginPanelTest, eachAnswerOfTheServiceHasItsOwnOutcome) {
    struct Case {
        int status;
        const char* answer;
        const char* shown; // in lbl_msg_login
    };
    const Case cases[] = {
        {200, "<login><result>TRUE</result><string></string></login>", kSystemError},
        {200, "<login><result>FALSE</result><string>Login Failed: wrong password</string></login>",
         "Login Failed: wrong password"},
        {200, "<login><result>true</result><string>5</string></login>", ""},
        {200, "<login><result>False</result><string>no</string></login>", ""},
        {404, "<login><result>TRUE</result><string>5</string></login>",
         "Login Failed: Could not connect to server:404"},
        {503, "", "Login Failed: Could not connect to server:503"},
        {200,
         "<login><result>FALSE</result><string>Closed &lt;b&gt;today&lt;/b&gt; &amp; a &lt; b &gt; c</string></login>",
         "Closed <b>today</b> & a < b > c"},
    };
    for (const Case& c : cases) {
        recorder.events.clear();
        server.reply("/vantro_login.aspx", c.status, c.answer);
        loginWith("4125551212", "secret");
        EXPECT_EQ(label("lbl_msg_login"), qs(c.shown)) << c.status << " " << c.answer;
        EXPECT_EQ(Control<QLabel>(window, "lbl_msg_login")->textFormat(), Qt::PlainText);
        EXPECT_TRUE(recorder.messages.isEmpty()) << c.answer;
        EXPECT_EQ(lineEdit("tb_password")->text(), qs("secret")) << "nothing is cleared";
        expectStillOnLoginPanel();
        expectPointerBackToDefault();
    }
    EXPECT_TRUE(server.requestsTo("/vantro_ab.aspx").empty());
    EXPECT_TRUE(global::CurrentUserId.empty()) << "the last TRUE answer carried an empty id";
}

// Every way the service or the line to it can fail, as the user meets it at the login: the error
// in a box first, naming what went wrong, then the system error in the panel.
TEST_F(LoginPanelTest, faultClassesShowTheErrorInABoxThenTheSystemError) {
    using namespace std::chrono_literals;
    transportLimits().connectTimeoutSeconds = 2;
    const UnansweredListener unanswered;
    const std::string accepted = "<login><result>TRUE</result><string>77</string></login>";
    const auto onWire = [&](WireFault fault, std::chrono::milliseconds delay = 0ms) {
        ScriptedReply reply;
        reply.body = accepted;
        reply.fault = fault;
        reply.delay = delay;
        return reply;
    };
    const auto answer = [](int status, std::string body) {
        ScriptedReply reply;
        reply.status = status;
        reply.body = std::move(body);
        return reply;
    };
    const auto redirectTo = [&](const std::string& location) {
        ScriptedReply reply = answer(302, "");
        reply.headers = {{"Location", location}};
        return reply;
    };
    ScriptedReply trickling = onWire(WireFault::None);
    trickling.trickleEvery = 300ms;
    std::string deep = "<login><result>TRUE</result><string>";
    for (int i = 0; i < 100000; ++i) {
        deep += "<a>";
    }
    for (int i = 0; i < 100000; ++i) {
        deep += "</a>";
    }
    deep += "</string></login>";
    std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE login [<!ENTITY l0 \"ha\">";
    for (int i = 1; i <= 10; ++i) {
        const std::string previous = "&l" + std::to_string(i - 1) + ";";
        std::string expansion;
        for (int j = 0; j < 10; ++j) {
            expansion += previous;
        }
        laughs += "<!ENTITY l" + std::to_string(i) + " \"" + expansion + "\">";
    }
    laughs += "]><login><result>TRUE</result><string>&l10;</string></login>";
    const std::string oversized = "<login>" + std::string(std::size_t{16} * 1024 * 1024, 'x') + "</login>";
    ScriptedReply oversizedChunked = onWire(WireFault::Chunked);
    oversizedChunked.body = oversized;

    // The limits at their edges: the answer the whole limit long is read, and the tenth redirect
    // is followed (both then fail only for what the answer holds).
    const std::string wholeLimit = "<login>" + std::string(std::size_t{16} * 1024 * 1024 - 15, 'x') + "</login>";

    struct Case {
        const char* fault;
        ScriptedReply reply;
        const char* inBox; // part of the box's text
        long overallSeconds = 60;
        long stallSeconds = 1;
        int redirectsFirst = 0; // redirects to the same page before the reply
        std::chrono::milliseconds redirectDelay{0};
    };
    const Case cases[] = {
        {"connection refused", {}, "Couldn't connect"},
        {"connection never completes", {}, "could not be reached within 2 seconds"},
        {"reset mid-answer", onWire(WireFault::ResetMidBody), "reset"},
        {"closed before answering", onWire(WireFault::CloseWithoutAnswer), "Empty reply"},
        // Only the overall limit may end it, however loaded the machine.
        {"trickling answer", trickling, "did not answer within 2 seconds", 2, 30},
        {"no answer after the request", onWire(WireFault::None, 1500ms), "stopped answering for 1 second."},
        {"stall after the headers", onWire(WireFault::StallAfterHeaders, 1500ms), "stopped answering for 1 second."},
        {"redirect loop", redirectTo("/vantro_login.aspx"), "redirected the request more than 10 times"},
        {"10 redirects are followed", answer(200, "<login/>"), "no element for //result", 60, 1, 10},
        {"the 11th redirect is not", answer(200, accepted), "redirected the request more than 10 times", 60, 1, 11},
        // Four hops of 0.7 s each: the 2 s limit runs across them, not afresh at each one.
        {"slow redirects", answer(200, accepted), "did not answer within 2 seconds", 2, 2, 4, 700ms},
        {"redirect to another host", redirectTo("http://127.0.0.2:8471/vantro_login.aspx"),
         "redirected the request to another address"},
        {"over 16 MiB, announced", answer(200, oversized), "longer than 16777216 bytes"},
        {"exactly 16 MiB", answer(200, wholeLimit), "no element for //result"},
        {"16 MiB and one byte", answer(200, wholeLimit + " "), "longer than 16777216 bytes"},
        {"over 16 MiB, chunked", oversizedChunked, "longer than 16777216 bytes"},
        {"invalid UTF-8", answer(200, "<login><result>FALSE</result><string>No \xff\xfe way</string></login>"),
         "no element for //result"},
        {"not well-formed", answer(200, "<login><result>FALSE</result><string>AT&T down</string></login>"),
         "no element for //result"},
        {"HTML error page with status 200", answer(200, "<html><body>Server Error</body></html>"),
         "no element for //result"},
        {"not XML", answer(200, ""), "no element for //result"},
        {"wrong-case element names", answer(200, "<Login><Result>TRUE</Result><String>77</String></Login>"),
         "no element for //result"},
        {"missing node after TRUE", answer(200, "<login><result>TRUE</result></login>"), "no element for //string"},
        {"missing node after FALSE", answer(200, "<login><result>FALSE</result></login>"), "no element for //string"},
        {"100,000-deep nesting", answer(200, deep), "no element for //result"},
        {"billion laughs", answer(200, laughs), "no element for //result"},
    };

    global::CurrentUserId = "earlier";
    // Lives as long as the recorder's callback that writes to it.
    QString labelWhileBoxOpen;
    recorder.onMessageBox = [&](const QString&) { labelWhileBoxOpen = label("lbl_msg_login"); };
    for (const Case& c : cases) {
        recorder.events.clear();
        recorder.messages.clear();
        labelWhileBoxOpen = qs("(no box)");
        const std::string_view fault = c.fault;
        global::ServiceUrl = fault == "connection refused"           ? LoopbackServer::closedPortUrl()
                             : fault == "connection never completes" ? unanswered.url()
                                                                     : server.url();
        transportLimits().overallSeconds = c.overallSeconds;
        transportLimits().stallSeconds = c.stallSeconds;
        ScriptedReply redirect = redirectTo("/vantro_login.aspx");
        redirect.delay = c.redirectDelay;
        std::vector<ScriptedReply> replies(static_cast<std::size_t>(c.redirectsFirst), redirect);
        replies.push_back(c.reply);
        server.replyInTurn("/vantro_login.aspx", replies);
        loginWith("4125551212", "secret");

        ASSERT_EQ(recorder.messages.size(), 1) << c.fault;
        EXPECT_NE(recorder.messages[0].indexOf(qs(c.inBox)), -1)
            << c.fault << ": " << recorder.messages[0].toStdString();
        EXPECT_EQ(labelWhileBoxOpen, QString()) << c.fault << ": the box comes before the message";
        EXPECT_EQ(label("lbl_msg_login"), qs(kSystemError)) << c.fault;
        EXPECT_EQ(lineEdit("tb_password")->text(), qs("secret")) << c.fault << ": nothing is cleared";
        expectStillOnLoginPanel();
        expectPointerBackToDefault();
    }
    EXPECT_EQ(global::CurrentUserId, "earlier") << "a failed login must not overwrite the id";
}

TEST_F(LoginPanelTest, aRefusedAddressBookStillOpensTheComposePanelWithNoFriends) {
    server.replyXml("/vantro_login.aspx", "<login><result>TRUE</result><string>77</string></login>");
    ScriptedReply failing;
    failing.status = 500;
    server.reply("/vantro_ab.aspx", failing);
    loginWith("4125551212", "secret");

    EXPECT_EQ(recorder.messages, QStringList{qs("Retrieve Address Book Failed: Could not connect to server:500")});
    EXPECT_TRUE(control("frame_txt")->isVisible());
    EXPECT_EQ(comboBox("cbl_ab")->count(), 0);
    EXPECT_EQ(label("lbl_msg_login"), QString());
    expectPointerBackToDefault();

    // The service's own refusal reaches the box exactly as sent, markup-like text included.
    closeAllWindows();
    openMainWindow();
    recorder.messages.clear();
    recorder.events.clear();
    server.replyXml("/vantro_ab.aspx", "<a><result>FALSE</result><string>Closed &lt;b&gt;today&lt;/b&gt; &amp; "
                                       "tomorrow</string></a>");
    loginWith("4125551212", "secret");
    EXPECT_EQ(recorder.messages, QStringList{qs("Closed <b>today</b> & tomorrow")});
    EXPECT_TRUE(control("frame_txt")->isVisible());
    EXPECT_EQ(comboBox("cbl_ab")->count(), 0);
    EXPECT_EQ(label("lbl_msg_login"), QString());
    expectPointerBackToDefault();
}

TEST_F(LoginPanelTest, aBrokenAddressBookKeepsTheLoginPanelAndTheEntriesReadSoFar) {
    server.replyXml("/vantro_login.aspx", "<login><result>TRUE</result><string>77</string></login>");
    server.replyXml("/vantro_ab.aspx",
                    "<a><result>TRUE</result><ab>"
                    "<friend><id>40000</id><name>Big</name><number>1</number><carrier>c</carrier></friend>"
                    "<friend><id>seven</id><name>Bad</name><number>2</number><carrier>c</carrier></friend>"
                    "</ab></a>");
    loginWith("4125551212", "secret");

    ASSERT_EQ(recorder.messages.size(), 1);
    EXPECT_NE(recorder.messages[0].indexOf(qs("seven")), -1) << recorder.messages[0].toStdString();
    EXPECT_EQ(label("lbl_msg_login"), qs(kSystemError));
    expectStillOnLoginPanel();
    EXPECT_EQ(global::CurrentUserId, "77");
    ASSERT_EQ(global::Friends.size(), 1u);
    EXPECT_EQ(global::Friends[0].id, 40000) << "ids beyond 16 bits are accepted";
}

TEST(MainWindowLoad, fillsTheCarrierListOnlyWhenThereAreCarriers) {
    global::Carriers = {"Verizon", "AT&T", "Verizon", ""};
    frm_quorvale filled;
    QComboBox* carriers = Control<QComboBox>(&filled, "cbl_carrier");
    ASSERT_EQ(carriers->count(), 4);
    EXPECT_EQ(carriers->itemText(1), QStringLiteral("AT&T"));
    EXPECT_EQ(carriers->currentText(), QString()) << "nothing chosen at start";

    global::Carriers.clear();
    frm_quorvale empty;
    EXPECT_EQ(Control<QComboBox>(&empty, "cbl_carrier")->count(), 0);
}
