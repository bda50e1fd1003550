#include "service/MessageSendExchange.h"

#include "app/Global.h"
#include "service/ServiceErrors.h"
#include "tests/support/VantroTest.h"

#include <limits>

namespace {

constexpr const char* SendPath = "/vantro_send.aspx";

class MessageSendExchangeTest : public VantroTest {};

} // namespace

TEST_F(MessageSendExchangeTest, buildsTheMessageDocumentForBothRecipientModes) {
    struct Case {
        const char* what;
        std::int32_t friendId;
        std::string phone, carrier, subject, body;
        std::string expected;
    };
    const Case cases[] = {
        {"number mode", 0, "5551234567", "AT&amp;T", "Tom & Jerry <3", "line one\r\nline two > \"three\"",
         "<QVRMessage>    <Reguser>4&2</Reguser>    <Friend>0</Friend>    <To>5551234567</To>"
         "    <Carrier>AT&amp;amp;T</Carrier>    <Subject>Tom &amp; Jerry &lt;3</Subject>"
         "    <Body>line one\r\nline two &gt; \"three\"</Body></QVRMessage>"},
        {"friend mode, empty subject", 17, "", "", "", "hi",
         "<QVRMessage>    <Reguser>4&2</Reguser>    <Friend>17</Friend>    <To></To>    <Carrier></Carrier>"
         "    <Subject></Subject>    <Body>hi</Body></QVRMessage>"},
        {"negative friend id", -1, "", "", "s", "b",
         "<QVRMessage>    <Reguser>4&2</Reguser>    <Friend>-1</Friend>    <To></To>    <Carrier></Carrier>"
         "    <Subject>s</Subject>    <Body>b</Body></QVRMessage>"},
        {"smallest friend id", std::numeric_limits<std::int32_t>::min(), "", "", "s", "b",
         "<QVRMessage>    <Reguser>4&2</Reguser>    <Friend>-2147483648</Friend>    <To></To>    <Carrier></Carrier>"
         "    <Subject>s</Subject>    <Body>b</Body></QVRMessage>"},
        {"phone unescaped", 0, "555<&>", "Sprint", "s", "b",
         "<QVRMessage>    <Reguser>4&2</Reguser>    <Friend>0</Friend>    <To>555<&></To>    <Carrier>Sprint</Carrier>"
         "    <Subject>s</Subject>    <Body>b</Body></QVRMessage>"},
    };
    server.replyXml(SendPath, "<r><send>Your message was sent.</send></r>");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::size_t before = server.requests().size();

        MessageSendExchange("4&2", c.friendId, c.phone, c.carrier, c.subject, c.body);

        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), before + 1);
        EXPECT_EQ(requests.back().method, "POST");
        EXPECT_EQ(requests.back().target, SendPath);
        EXPECT_EQ(requests.back().body, c.expected);
        EXPECT_EQ(requests.back().header("Content-Length"), std::to_string(c.expected.size()));
        EXPECT_EQ(requests.back().header("Content-Type"), "text/xml");
    }
}

TEST_F(MessageSendExchangeTest, onlyTheExactConfirmationCountsAsSentAndOnlyThenTheAdIsRead) {
    const std::string ads = "<ad_text>Fresh pizza</ad_text><ad_link>Order now</ad_link>"
                            "<ad_url>http://example.test/p?a=1&amp;b=2</ad_url>";
    struct Case {
        const char* what;
        int status;
        std::string body;
        SendOutcome expected;
    };
    const Case cases[] = {
        {"sent with an ad",
         200,
         "<r><send>Your message was sent to 5551234567.</send>" + ads + "</r>",
         {"Your message was sent to 5551234567.", true, "Fresh pizza", "Order now", "http://example.test/p?a=1&b=2"}},
        {"exactly the confirmation",
         200,
         "<r><x><send>Your message was sent</send></x><y>" + ads + "</y></r>",
         {"Your message was sent", true, "Fresh pizza", "Order now", "http://example.test/p?a=1&b=2"}},
        // The message went out: missing ad elements must not turn that into an error.
        {"sent without an ad",
         200,
         "<r><send>Your message was sent!</send></r>",
         {"Your message was sent!", true, "", "", ""}},
        {"sent without a link",
         200,
         "<r><send>Your message was sent</send><ad_text>Fresh pizza</ad_text><ad_url></ad_url></r>",
         {"Your message was sent", true, "Fresh pizza", "", ""}},
        {"lower case",
         200,
         "<r><send>your message was sent</send>" + ads + "</r>",
         {"your message was sent", false, "", "", ""}},
        {"shorter",
         200,
         "<r><send>Your message was sen</send>" + ads + "</r>",
         {"Your message was sen", false, "", "", ""}},
        {"leading blank",
         200,
         "<r><send> Your message was sent</send>" + ads + "</r>",
         {" Your message was sent", false, "", "", ""}},
        {"refusal", 200, "<r><send>Daily limit reached.</send></r>", {"Daily limit reached.", false, "", "", ""}},
        {"first send counts",
         200,
         "<r><send>Blocked.</send><send>Your message was sent</send>" + ads + "</r>",
         {"Blocked.", false, "", "", ""}},
        {"503",
         503,
         "<r><send>Your message was sent</send>" + ads + "</r>",
         {"Send Failed.  Could not connect to site:", false, "", "", ""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        server.reply(SendPath, c.status, c.body);

        const SendOutcome outcome = MessageSendExchange("42", 0, "5551234567", "Sprint", "", "hi");

        EXPECT_EQ(outcome.sendText, c.expected.sendText);
        EXPECT_EQ(outcome.sent, c.expected.sent);
        EXPECT_EQ(outcome.adText, c.expected.adText);
        EXPECT_EQ(outcome.adLink, c.expected.adLink);
        EXPECT_EQ(outcome.adUrl, c.expected.adUrl);
    }
}

TEST_F(MessageSendExchangeTest, anAnswerWithoutSendOrNoConnectionIsAnError) {
    for (const char* body : {"", "<html><head><title>Your message was sent</title></head><body>OK</body></html>",
                             "<r><ad_text>Fresh pizza</ad_text></r>", "<send>Your message was sent"}) {
        SCOPED_TRACE(body);
        server.replyXml(SendPath, body);
        EXPECT_THROW(MessageSendExchange("42", 0, "5551234567", "Sprint", "", "hi"), MissingNodeError);
    }

    global::ServiceUrl = LoopbackServer::closedPortUrl();
    EXPECT_THROW(MessageSendExchange("42", 0, "5551234567", "Sprint", "", "hi"), TransportError);
}
