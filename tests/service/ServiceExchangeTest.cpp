#include "service/ServiceExchange.h"

#include "app/Global.h"
#include "service/HttpPost.h"
#include "service/ServiceErrors.h"
#include "tests/support/VantroTest.h"

namespace {

class ServiceExchangeTest : public VantroTest {
protected:
    static FailureDocument failureWithStatus() {
        return [](long status) { return "<r><string>failed:" + std::to_string(status) + "</string></r>"; };
    }
};

} // namespace

TEST_F(ServiceExchangeTest, postsTheDocumentWithContentLengthThenContentType) {
    server.replyXml("/vantro_login.aspx", "<ok/>");
    const std::string body = "<QVRLogin>    <Login>Zo\xc3\xab</Login></QVRLogin>";

    ServiceExchange("/vantro_login.aspx", body, failureWithStatus());

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    const RecordedRequest& request = requests[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/vantro_login.aspx");
    EXPECT_EQ(request.body, body); // UTF-8, no byte-order mark, nothing added
    EXPECT_EQ(request.header("Content-Length"), std::to_string(body.size()));
    EXPECT_EQ(request.header("Content-Type"), "text/xml");

    // Ours are the last two, in this order; libcurl adds only what HTTP needs.
    const std::vector<std::string> names = request.headerNames();
    ASSERT_GE(names.size(), 2u);
    EXPECT_EQ(names[names.size() - 2], "Content-Length");
    EXPECT_EQ(names[names.size() - 1], "Content-Type");
    for (const char* unwanted : {"Expect", "Cookie", "Authorization", "Transfer-Encoding"}) {
        EXPECT_FALSE(request.hasHeader(unwanted)) << unwanted;
    }
}

TEST_F(ServiceExchangeTest, withoutDocumentSendsNoBodyAndLengthZero) {
    server.replyXml("/vantro_carriers.aspx", "<carriers/>");

    ServiceExchange("/vantro_carriers.aspx", std::nullopt, failureWithStatus());

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].header("Content-Length"), "0");
    EXPECT_EQ(requests[0].header("Content-Type"), "text/xml");
    EXPECT_TRUE(requests[0].body.empty());
}

TEST_F(ServiceExchangeTest, onlyStatus200IsTakenOtherwiseTheFailureDocumentWithItsDigits) {
    const std::pair<int, const char*> cases[] = {
        {200, "answer"}, {201, "failed:201"}, {204, "failed:204"}, {404, "failed:404"}, {500, "failed:500"}};
    for (const auto& [status, expected] : cases) {
        server.reply("/x", status, "<r><string>answer</string></r>");
        const ServiceAnswer answer = ServiceExchange("/x", std::string("<q/>"), failureWithStatus());
        EXPECT_EQ(answer.firstText("//string"), expected) << "status " << status;
    }
}

TEST_F(ServiceExchangeTest, followsRedirectsOnTheSameHostOnlyAndReadsTheFinalStatus) {
    LoopbackServer otherPort;
    LoopbackServer otherHost("127.0.0.2");
    otherPort.replyXml("/moved", "<r><string>arrived</string></r>");
    otherHost.replyXml("/moved", "<r><string>arrived</string></r>");
    server.replyXml("/moved", "<r><string>arrived</string></r>");
    struct Case {
        int status;
        std::string location;
        const LoopbackServer* target; // nullptr: the redirect is refused
        const char* method;           // of the request that follows it
    };
    const Case cases[] = {
        {301, "/moved", &server, "POST"},
        {302, "/moved", &server, "POST"},
        {307, "/moved", &server, "POST"},
        {308, "/moved", &server, "POST"},
        {303, "/moved", &server, "GET"},
        {302, otherPort.url() + "/moved", &otherPort, "POST"},
        {302, otherHost.url() + "/moved", nullptr, ""},
        {303, otherHost.url() + "/moved", nullptr, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.status) + " to " + c.location);
        ScriptedReply redirect;
        redirect.status = c.status;
        redirect.headers = {{"Location", c.location}};
        server.reply("/x", redirect);
        const std::size_t before = c.target != nullptr ? c.target->requestsTo("/moved").size() : 0;

        if (c.target == nullptr) {
            EXPECT_THROW(ServiceExchange("/x", std::string("<q/>"), failureWithStatus()), TransportError);
            continue;
        }
        EXPECT_EQ(ServiceExchange("/x", std::string("<q/>"), failureWithStatus()).firstText("//string"), "arrived");
        const auto atNewPlace = c.target->requestsTo("/moved");
        ASSERT_EQ(atNewPlace.size(), before + 1);
        const RecordedRequest& followed = atNewPlace.back();
        EXPECT_EQ(followed.method, c.method);
        if (followed.method == "POST") {
            EXPECT_EQ(followed.body, "<q/>");
            EXPECT_EQ(followed.header("Content-Type"), "text/xml");
        } else {
            // Sending the message again would send it twice.
            EXPECT_TRUE(followed.body.empty());
            EXPECT_FALSE(followed.hasHeader("Content-Length"));
            EXPECT_FALSE(followed.hasHeader("Content-Type"));
        }
    }
    EXPECT_TRUE(otherHost.requests().empty()) << "nothing may reach another host";

    ScriptedReply missing;
    missing.status = 404;
    server.reply("/moved", missing);
    ScriptedReply redirect;
    redirect.status = 302;
    redirect.headers = {{"Location", "/moved"}};
    server.reply("/x", redirect);
    EXPECT_EQ(ServiceExchange("/x", std::string("<q/>"), failureWithStatus()).firstText("//string"), "failed:404");
}

TEST_F(ServiceExchangeTest, missingNodesRaiseMissingNodeError) {
    server.replyXml("/x", "<r><result>TRUE</result></r>");
    const ServiceAnswer answer = ServiceExchange("/x", std::string("<q/>"), failureWithStatus());
    EXPECT_TRUE(answer.parsed());
    EXPECT_EQ(answer.firstText("//result"), "TRUE");
    EXPECT_THROW(answer.firstText("//string"), MissingNodeError);
    EXPECT_FALSE(answer.findFirst("//string"));

    for (const char* notXml : {"", "<html><body>Server Error", "plain text"}) {
        server.replyXml("/x", notXml);
        const ServiceAnswer broken = ServiceExchange("/x", std::string("<q/>"), failureWithStatus());
        EXPECT_FALSE(broken.parsed()) << notXml;
        EXPECT_THROW(broken.firstText("//result"), MissingNodeError) << notXml;
        EXPECT_TRUE(broken.all("//result").empty()) << notXml;
    }
}

TEST(ServiceAnswer, nodeTextJoinsTheCharacterDataOfAllDescendants) {
    const ServiceAnswer answer(std::string("<a><s>x<b>y<![CDATA[<z>]]></b>w<!-- note --><c/>&amp;v</s>"
                                           "<s>second</s><deep><k><s>third</s></k></deep></a>"));
    ASSERT_TRUE(answer.parsed());
    EXPECT_EQ(answer.firstText("//s"), "xy<z>w&v");
    const std::vector<pugi::xml_node> all = answer.all("//s");
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(NodeText(all[1]), "second");
    EXPECT_EQ(NodeText(all[2]), "third");
}

TEST(ServiceAnswer, readsAnswersInOtherEncodingsByTheirDeclarationOrByteOrderMark) {
    const ServiceAnswer latin1(std::string("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><s>Zo\xeb</s>"));
    EXPECT_EQ(latin1.firstText("//s"), "Zo\xc3\xab");
    const char utf16Bytes[] = "\xff\xfe<\0s\0>\0\xeb\0<\0/\0s\0>\0";
    const ServiceAnswer utf16(std::string(utf16Bytes, sizeof utf16Bytes - 1));
    EXPECT_EQ(utf16.firstText("//s"), "\xc3\xab");
    const ServiceAnswer utf8(std::string("\xef\xbb\xbf<s>\xc3\xab</s>"));
    EXPECT_EQ(utf8.firstText("//s"), "\xc3\xab");
    const ServiceAnswer windows1252(std::string("<?xml version=\"1.0\" encoding=\"windows-1252\"?><s>\x80 5</s>"));
    EXPECT_EQ(windows1252.firstText("//s"), "\xe2\x82\xac 5");
}

TEST(ServiceAnswer, expandsTheEntitiesAnAnswerDeclaresButLoadsNothingFromOutside) {
    const std::pair<std::string, std::string> cases[] = {
        {"<!DOCTYPE r [<!ENTITY co \"Tom &#38;amp; <b>Jerry</b>\">]><r><s>&co; &lt;3</s></r>", "Tom & Jerry <3"},
        {"<!DOCTYPE r [<!ENTITY e SYSTEM \"file:///etc/hostname\">]><r><s>[&e;]</s></r>", "[]"},
        {"<!DOCTYPE r SYSTEM \"http://127.0.0.1:9/r.dtd\"><r><s>plain</s></r>", "plain"},
    };
    for (const auto& [text, expected] : cases) {
        const ServiceAnswer answer(text);
        ASSERT_TRUE(answer.parsed()) << text;
        EXPECT_EQ(answer.firstText("//s"), expected) << text;
    }
}

TEST(ServiceAnswer, hostileAnswersAreRefusedNotParsed) {
    std::string laughs = "<!DOCTYPE s [<!ENTITY a0 \"lol\">";
    for (int level = 1; level <= 10; ++level) {
        laughs += "<!ENTITY a" + std::to_string(level) + " \"";
        for (int copy = 0; copy < 10; ++copy) {
            laughs += "&a" + std::to_string(level - 1) + ";";
        }
        laughs += "\">";
    }
    laughs += "]><r><result>FALSE</result><string>&a10;</string></r>";

    std::string deep = "<r><result>FALSE</result><string>";
    for (int level = 0; level < 100000; ++level) {
        deep += "<d>";
    }
    deep += "x";
    for (int level = 0; level < 100000; ++level) {
        deep += "</d>";
    }
    deep += "</string></r>";

    const std::pair<const char*, std::string> cases[] = {
        {"billion laughs", laughs},
        {"100,000 levels deep", deep},
    };
    for (const auto& [what, text] : cases) {
        SCOPED_TRACE(what);
        const ServiceAnswer answer(text);
        EXPECT_FALSE(answer.parsed());
        EXPECT_THROW(answer.firstText("//string"), MissingNodeError);
    }

    // Nesting within the bound keeps all its text.
    std::string nested = "<r><string>";
    for (int level = 0; level < 200; ++level) {
        nested += "<d>" + std::to_string(level % 10);
    }
    for (int level = 0; level < 200; ++level) {
        nested += "</d>";
    }
    nested += "</string></r>";
    const ServiceAnswer withinBound(nested);
    ASSERT_TRUE(withinBound.parsed());
    EXPECT_EQ(withinBound.firstText("//string").size(), 200u);
}
