#include "service/AddressBookUpdateExchange.h"

#include "app/Global.h"
#include "service/ServiceErrors.h"
#include "tests/support/VantroTest.h"

namespace {

constexpr const char* UpdatePath = "/vantro_ab_update.aspx";

class AddressBookUpdateExchangeTest : public VantroTest {};

} // namespace

TEST_F(AddressBookUpdateExchangeTest, escapesOnlyNameAndCarrierOnTheWire) {
    struct Case {
        const char* what;
        std::string action, userId, friendId, name, number, carrier;
        std::string body;
    };
    // Names and carriers arrive with "&" already turned into "&amp;" by the window.
    const Case cases[] = {
        {"add", "add", "42", "0", "Tom &amp; Jerry", "5551234567", "AT&amp;T",
         "<QVRABUpdate>    <Action>add</Action>    <Reguser>42</Reguser>    <Friend>0</Friend>"
         "    <Name>Tom &amp;amp; Jerry</Name>    <Number>5551234567</Number>    <Carrier>AT&amp;amp;T</Carrier>"
         "</QVRABUpdate>"},
        {"update", "update", "4&2", "-7", "<Bo> \"B\" 'C'", "555&<123", "T-Mobile",
         "<QVRABUpdate>    <Action>update</Action>    <Reguser>4&2</Reguser>    <Friend>-7</Friend>"
         "    <Name>&lt;Bo&gt; \"B\" 'C'</Name>    <Number>555&<123</Number>    <Carrier>T-Mobile</Carrier>"
         "</QVRABUpdate>"},
        {"delete", "delete", "42", "17", "", "", "",
         "<QVRABUpdate>    <Action>delete</Action>    <Reguser>42</Reguser>    <Friend>17</Friend>"
         "    <Name></Name>    <Number></Number>    <Carrier></Carrier></QVRABUpdate>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        server.replyXml(UpdatePath, "<update>Update Successful.</update>");
        const std::size_t before = server.requests().size();

        AddressBookUpdateExchange(c.action, c.userId, c.friendId, c.name, c.number, c.carrier);

        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), before + 1);
        EXPECT_EQ(requests.back().target, UpdatePath);
        EXPECT_EQ(requests.back().body, c.body);
        EXPECT_EQ(requests.back().header("Content-Length"), std::to_string(c.body.size()));
        EXPECT_EQ(requests.back().header("Content-Type"), "text/xml");
    }
}

TEST_F(AddressBookUpdateExchangeTest, returnsTheFirstUpdateTextUnchanged) {
    struct Case {
        const char* what;
        int status;
        std::string body;
        std::string outcome;
    };
    const Case cases[] = {
        {"success", 200, "<update>Update Successful.</update>", "Update Successful."},
        {"any depth", 200, "<r><x><update>Update Successful.</update></x></r>", "Update Successful."},
        {"two updates", 200, "<r><update>Name already used.</update><update>Update Successful.</update></r>",
         "Name already used."},
        {"other case", 200, "<update>update successful.</update>", "update successful."},
        {"blanks kept", 200, "<update>Update Successful. </update>", "Update Successful. "},
        {"404", 404, "<update>Update Successful.</update>", "Update Failed.  Could not connect to site:"},
        {"500", 500, "", "Update Failed.  Could not connect to site:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        server.reply(UpdatePath, c.status, c.body);
        EXPECT_EQ(AddressBookUpdateExchange("update", "42", "7", "Ann", "5551234567", "Sprint"), c.outcome);
    }
}

TEST_F(AddressBookUpdateExchangeTest, anAnswerWithoutUpdateOrNoConnectionIsAnError) {
    for (const char* body :
         {"", "Update Successful.", "<html><body>Update Successful.</body></html>", "<update>Update Successful."}) {
        SCOPED_TRACE(body);
        server.replyXml(UpdatePath, body);
        EXPECT_THROW(AddressBookUpdateExchange("add", "42", "0", "Ann", "5551234567", "Sprint"), MissingNodeError);
    }

    global::ServiceUrl = LoopbackServer::closedPortUrl();
    EXPECT_THROW(AddressBookUpdateExchange("add", "42", "0", "Ann", "5551234567", "Sprint"), TransportError);
}
