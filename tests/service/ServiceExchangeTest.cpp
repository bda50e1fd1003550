#include "service/ServiceExchange.h"

#include "app/Global.h"
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

TEST_F(ServiceExchangeTest, followsRedirectsAndReadsTheFinalStatus) {
    ScriptedReply redirect;
    redirect.status = 302;
    redirect.headers = {{"Location", "/moved"}};
    server.reply("/x", redirect);
    server.replyXml("/moved", "<r><string>arrived</string></r>");
    EXPECT_EQ(ServiceExchange("/x", std::string("<q/>"), failureWithStatus()).firstText("//string"), "arrived");
    const auto atNewPlace = server.requestsTo("/moved");
    ASSERT_EQ(atNewPlace.size(), 1u);
    EXPECT_EQ(atNewPlace[0].method, "POST");
    EXPECT_EQ(atNewPlace[0].body, "<q/>");

    ScriptedReply missing;
    missing.status = 404;
    server.reply("/moved", missing);
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

TEST(ServiceAnswer, readsAnswersInOtherEncodingsByTheirDeclaration) {
    const ServiceAnswer latin1(std::string("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><s>Zo\xeb</s>"));
    EXPECT_EQ(latin1.firstText("//s"), "Zo\xc3\xab");
}
