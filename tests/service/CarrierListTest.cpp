#include "service/CarrierListExchange.h"
#include "service/FailureDocuments.h"
#include "service/ServiceExchange.h"
#include "tests/support/VantroTest.h"

namespace {

class CarrierListTest : public VantroTest {
protected:
    std::vector<std::string> carriersFor(const std::string& answer) {
        server.replyXml("/vantro_carriers.aspx", answer);
        std::vector<std::string> carriers;
        LoadCarrierList(carriers);
        return carriers;
    }
};

using Names = std::vector<std::string>;

} // namespace

TEST_F(CarrierListTest, readsEveryCarrierDirectlyUnderAnyCarriersElementInDocumentOrder) {
    EXPECT_EQ(carriersFor("<carriers><carrier>A</carrier><carrier>B</carrier></carriers>"), (Names{"A", "B"}));
    EXPECT_EQ(carriersFor("<list><carriers><carrier>A</carrier></carriers><x><carriers><carrier>B</carrier>"
                          "</carriers></x></list>"),
              (Names{"A", "B"}));
    // Not a direct child of carriers, or not under carriers at all: ignored.
    EXPECT_EQ(carriersFor("<carriers><group><carrier>A</carrier></group></carriers>"), Names{});
    EXPECT_EQ(carriersFor("<root><carrier>A</carrier><carriers/></root>"), Names{});
    // Attributes and other elements do not matter.
    EXPECT_EQ(carriersFor("<carriers id=\"1\"><note>n</note><carrier code=\"x\">Sprint</carrier></carriers>"),
              Names{"Sprint"});
}

TEST_F(CarrierListTest, keepsEmptyNamesDuplicatesAndResolvedEntities) {
    EXPECT_EQ(carriersFor("<carriers><carrier>A</carrier><carrier></carrier><carrier>A</carrier>"
                          "<carrier>A&amp;B</carrier><carrier><![CDATA[C&D]]></carrier></carriers>"),
              (Names{"A", "", "A", "A&B", "C&D"}));
}

TEST_F(CarrierListTest, sendsAnEmptyPostToTheCarrierPath) {
    carriersFor("<carriers/>");
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, "/vantro_carriers.aspx");
    EXPECT_EQ(requests[0].header("Content-Length"), "0");
    EXPECT_TRUE(requests[0].body.empty());
}

TEST_F(CarrierListTest, statusOtherThan200OrAnAnswerThatIsNotXmlGivesNoCarriers) {
    for (int status : {201, 404, 500}) {
        server.reply("/vantro_carriers.aspx", status, "<carriers><carrier>A</carrier></carriers>");
        std::vector<std::string> carriers;
        EXPECT_NO_THROW(LoadCarrierList(carriers));
        EXPECT_TRUE(carriers.empty()) << status;
    }
    EXPECT_EQ(carriersFor(""), Names{});
    EXPECT_EQ(carriersFor("<html><body>It works</body>"), Names{});
    // Well-formed up to a broken tail: nothing of it counts.
    EXPECT_EQ(carriersFor("<carriers><carrier>A</carrier><carrier>B</carriers>"), Names{});
    // Readable enough for a forgiving parser, but not well-formed XML.
    for (const char* notWellFormed : {
             "<carriers><carrier>AT&T</carrier></carriers>",
             "<carriers><carrier>A&nbsp;B</carrier></carriers>",
             "<carriers><carrier>A</carrier></carriers><carriers><carrier>B</carrier></carriers>",
             "<carriers><carrier>A</carrier></carriers>trailing",
             "<carriers><carrier code=\"1\" code=\"2\">A</carrier></carriers>",
             "<carriers><carrier>A\x01</carrier></carriers>",
         }) {
        EXPECT_EQ(carriersFor(notWellFormed), Names{}) << notWellFormed;
    }
}

TEST(FailureDocuments, eachExchangeHasItsOwnRefusal) {
    EXPECT_EQ(ServiceAnswer(FailureDocuments::Login(404)).firstText("//result"), "FALSE");
    EXPECT_EQ(ServiceAnswer(FailureDocuments::Login(404)).firstText("//string"),
              "Login Failed: Could not connect to server:404");
    EXPECT_EQ(ServiceAnswer(FailureDocuments::AddressBookRetrieval(500)).firstText("//result"), "FALSE");
    EXPECT_EQ(ServiceAnswer(FailureDocuments::AddressBookRetrieval(500)).firstText("//string"),
              "Retrieve Address Book Failed: Could not connect to server:500");
    EXPECT_EQ(ServiceAnswer(FailureDocuments::AddressBookUpdate(404)).firstText("//update"),
              "Update Failed.  Could not connect to site:");
    EXPECT_EQ(ServiceAnswer(FailureDocuments::MessageSend(503)).firstText("//send"),
              "Send Failed.  Could not connect to site:");
    const ServiceAnswer carriers(FailureDocuments::CarrierList(500));
    EXPECT_TRUE(carriers.parsed());
    EXPECT_TRUE(carriers.all("//carriers/carrier").empty());
}
