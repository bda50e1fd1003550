#include "service/LoginExchange.h"

#include "app/Global.h"
#include "service/ServiceErrors.h"
#include "tests/support/VantroTest.h"

namespace {

constexpr const char* LoginPath = "/vantro_login.aspx";

class LoginExchangeTest : public VantroTest {};

} // namespace

TEST_F(LoginExchangeTest, sendsLoginAndPasswordUnescapedToTheLoginPath) {
    server.replyXml(LoginPath, "<login><result>FALSE</result><string>No.</string></login>");

    LoginExchange("5551234567", "p<ss&word>");

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    const std::string expected =
        "<QVRLogin>    <Login>5551234567</Login>    <Password>p<ss&word></Password></QVRLogin>";
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].target, LoginPath);
    EXPECT_EQ(requests[0].body, expected);
    EXPECT_EQ(requests[0].header("Content-Length"), std::to_string(expected.size()));
    EXPECT_EQ(requests[0].header("Content-Type"), "text/xml");
}

TEST_F(LoginExchangeTest, classifiesEveryAnswerAndStoresTheIdOnlyOnTrue) {
    struct Case {
        const char* what;
        int status;
        std::string body;
        LoginOutcome outcome;
        std::string message;
        std::string userIdAfter; // CurrentUserId starts as "previous"
    };
    const Case cases[] = {
        {"accepted", 200, "<login><result>TRUE</result><string>4711</string></login>", LoginOutcome::Accepted, "",
         "4711"},
        {"accepted, empty id", 200, "<login><result>TRUE</result><string/></login>", LoginOutcome::AcceptedWithoutId,
         "", ""},
        {"refused", 200, "<login><result>FALSE</result><string>Invalid login or password.</string></login>",
         LoginOutcome::Refused, "Invalid login or password.", "previous"},
        {"lower case", 200, "<login><result>true</result><string>4711</string></login>", LoginOutcome::Unrecognised, "",
         "previous"},
        {"mixed case false", 200, "<login><result>False</result><string>x</string></login>", LoginOutcome::Unrecognised,
         "", "previous"},
        {"empty result", 200, "<login><result/><string>4711</string></login>", LoginOutcome::Unrecognised, "",
         "previous"},
        {"any depth, any root", 200,
         "<a><b><c><result>TRUE</result></c></b><d><e><f><string>deep</string></f></e></d></a>", LoginOutcome::Accepted,
         "", "deep"},
        {"first of several counts", 200,
         "<r><x><result>FALSE</result></x><result>TRUE</result><string>first</string><string>second</string></r>",
         LoginOutcome::Refused, "first", "previous"},
        {"entities resolved", 200, "<r><result>FALSE</result><string>Tom &amp; Jerry &lt;3</string></r>",
         LoginOutcome::Refused, "Tom & Jerry <3", "previous"},
        // A non-200 status is a refusal whatever the body says.
        {"404", 404, "<login><result>TRUE</result><string>4711</string></login>", LoginOutcome::Refused,
         "Login Failed: Could not connect to server:404", "previous"},
        {"503", 503, "", LoginOutcome::Refused, "Login Failed: Could not connect to server:503", "previous"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        global::CurrentUserId = "previous";
        server.reply(LoginPath, c.status, c.body);

        const LoginResult result = LoginExchange("5551234567", "secret");

        EXPECT_EQ(result.outcome, c.outcome);
        EXPECT_EQ(result.message, c.message);
        EXPECT_EQ(global::CurrentUserId, c.userIdAfter);
    }
}

TEST_F(LoginExchangeTest, answersWithoutTheNeededNodesFailAndKeepThePreviousId) {
    const std::pair<const char*, const char*> cases[] = {
        {"empty body", ""},
        {"not XML", "<html><body>Server Error</body>"},
        {"no result", "<login><string>4711</string></login>"},
        {"TRUE without string", "<login><result>TRUE</result></login>"},
        {"FALSE without string", "<login><result>FALSE</result></login>"},
        // Not well-formed, so not XML at all: never shown as a refusal.
        {"bare ampersand", "<login><result>FALSE</result><string>AT&T down</string></login>"},
        {"undefined entity", "<login><result>FALSE</result><string>a&nbsp;b</string></login>"},
        {"two roots", "<login><result>FALSE</result></login><login><string>x</string></login>"},
        {"text after the root", "<login><result>FALSE</result><string>x</string></login>trailing"},
        {"duplicate attribute", "<login a=\"1\" a=\"2\"><result>FALSE</result><string>x</string></login>"},
        {"control character", "<login><result>FALSE</result><string>\x01</string></login>"},
    };
    for (const auto& [what, body] : cases) {
        SCOPED_TRACE(what);
        global::CurrentUserId = "previous";
        server.replyXml(LoginPath, body);
        EXPECT_THROW(LoginExchange("5551234567", "secret"), MissingNodeError);
        EXPECT_EQ(global::CurrentUserId, "previous");
    }
}

TEST_F(LoginExchangeTest, aClosedPortIsATransportError) {
    global::CurrentUserId = "previous";
    global::ServiceUrl = LoopbackServer::closedPortUrl();
    EXPECT_THROW(LoginExchange("5551234567", "secret"), TransportError);
    EXPECT_EQ(global::CurrentUserId, "previous");
}
