// The five exchanges as plain functions: accepted requests, the "&" quirk, and refusals of bad input.

#include "ClientRequests.h"
#include "Carriers.h"
#include "DemoData.h"
#include "Protocol.h"
#include "Store.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace localservice;
using lstest::Answer;
using lstest::FriendRow;

namespace {

const std::string kUser(kDemoUserId);

class ProtocolTest : public ::testing::Test {
protected:
    Store store{":memory:"};
    std::vector<std::string> console;
    SendSettings settings{"http://127.0.0.1:8471", [this](const std::string& line) { console.push_back(line); }};

    std::vector<FriendRow> book(const std::string& userId = kUser) {
        const Answer answer(AnswerAddressBook(store, lstest::AddressBookRequest(userId)));
        EXPECT_EQ(answer.text("//result"), "TRUE");
        return lstest::Friends(answer);
    }
    std::string update(const std::string& body) {
        return Answer(AnswerAddressBookUpdate(store, body)).text("//update");
    }
    std::string send(const std::string& body) { return Answer(AnswerSend(store, body, settings)).text("//send"); }
    std::string registerUser(const std::string& login, const std::string& password) {
        const auto id = store.registerUser(login, password);
        EXPECT_TRUE(id.has_value());
        return std::to_string(id.value_or(0));
    }
};

std::string Oversized(const std::string& root) {
    return "<" + root + ">" + std::string(kMaxRequestBytes, 'x') + "</" + root + ">";
}

// ---------------------------------------------------------------- login

TEST_F(ProtocolTest, LoginAcceptsTheDemoUser) {
    const std::string text = AnswerLogin(store, lstest::LoginRequest(kDemoLogin, kDemoPassword));
    EXPECT_EQ(text, "<login><result>TRUE</result><string>1</string></login>");
    EXPECT_EQ(std::string(kDemoUserId), "1");
}

TEST_F(ProtocolTest, LoginRefusesAWrongPasswordAndAnUnknownLogin) {
    for (const auto& body : {lstest::LoginRequest(kDemoLogin, "wrong"), lstest::LoginRequest("4125550000", "demo"),
                             lstest::LoginRequest(kDemoLogin, "DEMO"), lstest::LoginRequest(kDemoLogin, "demo ")}) {
        const Answer answer(AnswerLogin(store, body));
        EXPECT_EQ(answer.text("//result"), "FALSE") << body;
        EXPECT_EQ(answer.text("//string"), "Login Failed: Invalid login or password.") << body;
    }
}

TEST_F(ProtocolTest, LoginRefusesEmptyFields) {
    for (const auto& body : {lstest::LoginRequest("", "demo"), lstest::LoginRequest(kDemoLogin, ""),
                             std::string("<QVRLogin><Login/><Password/></QVRLogin>")}) {
        const Answer answer(AnswerLogin(store, body));
        EXPECT_EQ(answer.text("//result"), "FALSE") << body;
        EXPECT_EQ(answer.text("//string"), "Login Failed: Please enter your login and password.") << body;
    }
}

TEST_F(ProtocolTest, LoginReadsIllFormedBodiesLeniently) {
    // The client does not escape the password, so these bodies are not well-formed XML.
    int n = 10;
    for (const std::string password : {"a&b", "x<y", "<&>", "p&amp", "</Password>tricky"}) {
        const std::string login = "71255501" + std::to_string(n++);
        const std::string id = registerUser(login, password);
        const std::string body = lstest::LoginRequest(login, password);
        const Answer answer(AnswerLogin(store, body));
        EXPECT_EQ(answer.text("//result"), "TRUE") << body;
        EXPECT_EQ(answer.text("//string"), id) << body;
        EXPECT_EQ(Answer(AnswerLogin(store, lstest::LoginRequest(login, password + "!"))).text("//result"), "FALSE");
    }
}

TEST_F(ProtocolTest, LoginTakesAPasswordThatLooksLikeAnEntityAsTyped) {
    // Typed "x&amp;y": the body is well-formed, but the client meant the eight characters as typed.
    const std::string id = registerUser("7125550123", "x&amp;y");
    const Answer answer(AnswerLogin(store, lstest::LoginRequest("7125550123", "x&amp;y")));
    EXPECT_EQ(answer.text("//result"), "TRUE");
    EXPECT_EQ(answer.text("//string"), id);
}

TEST_F(ProtocolTest, LoginRefusesBodiesItCannotRead) {
    for (const std::string body : {"", "hello", "<QVRLogin></QVRLogin>", "<QVRLogin>    <Login>4125551212</Login>",
                                   "<QVRLogin>    <Password>demo</Password></QVRLogin>", "\xff\xfe<"}) {
        const Answer answer(AnswerLogin(store, body));
        EXPECT_EQ(answer.text("//result"), "FALSE") << body;
        EXPECT_EQ(answer.text("//string"), "Login Failed: The request could not be read.") << body;
    }
}

TEST_F(ProtocolTest, LoginReadsAWellFormedDocumentAsXml) {
    // Fields in another order, escaped values, white space between elements: read as XML.
    const std::string id = registerUser("7125550124", "a&b");
    const Answer answer(AnswerLogin(
        store, "<QVRLogin>\n  <Password>a&amp;b</Password>\n  <Login>7125550124</Login>\n</QVRLogin>"));
    EXPECT_EQ(answer.text("//result"), "TRUE");
    EXPECT_EQ(answer.text("//string"), id);
}

TEST_F(ProtocolTest, LoginRefusesAnOversizedBody) {
    const std::string body = lstest::LoginRequest(kDemoLogin, std::string(kMaxRequestBytes, 'p'));
    const Answer answer(AnswerLogin(store, body));
    EXPECT_EQ(answer.text("//result"), "FALSE");
    EXPECT_EQ(answer.text("//string"), "Login Failed: The request is too large.");
}

// ---------------------------------------------------------------- carriers

TEST_F(ProtocolTest, CarrierListHoldsEveryKnownCarrierWithAmpersandEscaped) {
    const std::string text = AnswerCarriers();
    EXPECT_EQ(text.rfind("<carriers><carrier>AT&amp;T</carrier>", 0), 0U) << text;
    const Answer answer(text);
    ASSERT_TRUE(answer.parsed());
    const std::vector<std::string> names = answer.texts("//carriers/carrier");
    ASSERT_EQ(names.size(), KnownCarriers().size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(names[i], KnownCarriers()[i].name);
    }
    EXPECT_GE(names.size(), 10U);
}

TEST_F(ProtocolTest, GatewayAddressesWhereKnown) {
    EXPECT_EQ(GatewayAddress("4125550100", "AT&T"), "4125550100@txt.att.net");
    EXPECT_EQ(GatewayAddress("4125550100", "Verizon Wireless"), "4125550100@vtext.com");
    EXPECT_EQ(GatewayAddress("4125550100", "Straight Talk"), "");
    EXPECT_EQ(GatewayAddress("4125550100", "Nobody"), "");
}

// ---------------------------------------------------------------- address book

TEST_F(ProtocolTest, AddressBookOfTheDemoUser) {
    const std::string text = AnswerAddressBook(store, lstest::AddressBookRequest(kUser));
    EXPECT_EQ(text, "<address_book><result>TRUE</result><ab>"
                    "<friend><id>1</id><name>Tom &amp; Jerry</name><number>4125550100</number>"
                    "<carrier>AT&amp;T</carrier></friend>"
                    "<friend><id>2</id><name>Alice Walker</name><number>4125550101</number>"
                    "<carrier>Verizon Wireless</carrier></friend>"
                    "</ab></address_book>");
    const std::vector<FriendRow> rows = book();
    ASSERT_EQ(rows.size(), kDemoFriends.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i], (FriendRow{std::to_string(kDemoFriends[i].id), std::string(kDemoFriends[i].name),
                                      std::string(kDemoFriends[i].number), std::string(kDemoFriends[i].carrier)}));
    }
}

TEST_F(ProtocolTest, AddressBookOfANewUserIsEmpty) {
    const std::string id = registerUser("7125550100", "pw");
    const Answer answer(AnswerAddressBook(store, lstest::AddressBookRequest(id)));
    EXPECT_EQ(answer.text("//result"), "TRUE");
    EXPECT_TRUE(answer.has("//ab"));
    EXPECT_TRUE(lstest::Friends(answer).empty());
}

TEST_F(ProtocolTest, AddressBookRefusesUnknownUsers) {
    for (const std::string id : {"999", "0", "-1", "", " 1", "1 ", "+1", "abc", "1.0", "99999999999999999999999"}) {
        const Answer answer(AnswerAddressBook(store, lstest::AddressBookRequest(id)));
        EXPECT_EQ(answer.text("//result"), "FALSE") << id;
        EXPECT_EQ(answer.text("//string"), "Retrieve Address Book Failed: Unknown user. Please log in again.") << id;
        EXPECT_FALSE(answer.has("//ab")) << id;
    }
}

TEST_F(ProtocolTest, AddressBookRefusesBadRequests) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "The request could not be read."},
        {"not xml", "The request could not be read."},
        {"<QVRAB>    <User_id>1</User_id>", "The request could not be read."},
        {"<Other>    <User_id>1</User_id></Other>", "The request could not be read."},
        {"<QVRAB></QVRAB>", "The request could not be read: the field User_id is missing."},
        {Oversized("QVRAB"), "The request is too large."},
    };
    for (const auto& [body, reason] : cases) {
        const Answer answer(AnswerAddressBook(store, body));
        EXPECT_EQ(answer.text("//result"), "FALSE") << body.substr(0, 80);
        EXPECT_EQ(answer.text("//string"), "Retrieve Address Book Failed: " + reason) << body.substr(0, 80);
    }
}

// ---------------------------------------------------------------- address book update

TEST_F(ProtocolTest, UpdateAnswersExactlyUpdateSuccessful) {
    const std::string text =
        AnswerAddressBookUpdate(store, lstest::UpdateRequest("add", kUser, "0", "Bob", "4125550102", "Sprint"));
    EXPECT_EQ(text, "<update>Update Successful.</update>");
}

TEST_F(ProtocolTest, AddUpdateDeleteRoundTrip) {
    ASSERT_EQ(update(lstest::UpdateRequest("add", kUser, "0", "Bob", "4125550102", "Sprint")), kUpdateSuccessful);
    std::vector<FriendRow> rows = book();
    ASSERT_EQ(rows.size(), 3U);
    const FriendRow added = rows.back();
    EXPECT_EQ(added.name, "Bob");
    EXPECT_EQ(added.number, "4125550102");
    EXPECT_EQ(added.carrier, "Sprint");
    const int id = std::stoi(added.id);
    EXPECT_GT(id, 0);
    EXPECT_LE(id, 32767); // the client keeps ids in 16 bits
    EXPECT_NE(added.id, rows[0].id);
    EXPECT_NE(added.id, rows[1].id);

    ASSERT_EQ(update(lstest::UpdateRequest("update", kUser, added.id, "Robert", "7245550103", "T-Mobile")),
              kUpdateSuccessful);
    rows = book();
    ASSERT_EQ(rows.size(), 3U);
    EXPECT_EQ(rows.back(), (FriendRow{added.id, "Robert", "7245550103", "T-Mobile"}));

    ASSERT_EQ(update(lstest::UpdateRequest("delete", kUser, added.id, "", "", "")), kUpdateSuccessful);
    rows = book();
    ASSERT_EQ(rows.size(), 2U);
    EXPECT_EQ(rows[0].name, "Tom & Jerry");
    EXPECT_EQ(rows[1].name, "Alice Walker");

    // A deleted id is gone for good: a second delete or an update of it is refused.
    EXPECT_NE(update(lstest::UpdateRequest("delete", kUser, added.id, "", "", "")), kUpdateSuccessful);
    EXPECT_NE(update(lstest::UpdateRequest("update", kUser, added.id, "Bob", "4125550102", "Sprint")),
              kUpdateSuccessful);
}

TEST_F(ProtocolTest, NewIdsAreDistinctAndIncreasing) {
    std::vector<int> ids;
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(update(lstest::UpdateRequest("add", kUser, "0", "F" + std::to_string(i), "4125550110", "Ting")),
                  kUpdateSuccessful);
        ids.push_back(std::stoi(book().back().id));
    }
    for (std::size_t i = 1; i < ids.size(); ++i) {
        EXPECT_GT(ids[i], ids[i - 1]);
    }
}

TEST_F(ProtocolTest, AmpersandsInNamesAndCarriersComeBackAsTyped) {
    // The client sends "&" as "&amp;amp;", so the service's parser sees "&amp;".
    const std::string body = lstest::UpdateRequest("add", kUser, "0", "Tom & Jerry's <Cats>", "4125550103", "AT&T");
    EXPECT_NE(body.find("<Name>Tom &amp;amp; Jerry's &lt;Cats&gt;</Name>"), std::string::npos) << body;
    EXPECT_NE(body.find("<Carrier>AT&amp;amp;T</Carrier>"), std::string::npos) << body;
    ASSERT_EQ(update(body), kUpdateSuccessful);
    EXPECT_EQ(book().back().name, "Tom & Jerry's <Cats>");
    EXPECT_EQ(book().back().carrier, "AT&T");

    // A name typed with an entity in it stays as typed.
    ASSERT_EQ(update(lstest::UpdateRequest("add", kUser, "0", "R&amp;D && Co", "4125550104", "AT&T")),
              kUpdateSuccessful);
    EXPECT_EQ(book().back().name, "R&amp;D && Co");

    // An update keeps the round trip too.
    const std::string id = book().back().id;
    ASSERT_EQ(update(lstest::UpdateRequest("update", kUser, id, "A & B & C", "4125550104", "AT&T")),
              kUpdateSuccessful);
    EXPECT_EQ(book().back(), (FriendRow{id, "A & B & C", "4125550104", "AT&T"}));
}

TEST_F(ProtocolTest, DecodeClientAmpersandsUndoesOneLevel) {
    EXPECT_EQ(DecodeClientAmpersands("AT&amp;T"), "AT&T");
    EXPECT_EQ(DecodeClientAmpersands("&amp;amp;"), "&amp;");
    EXPECT_EQ(DecodeClientAmpersands("a & b"), "a & b");
    EXPECT_EQ(DecodeClientAmpersands("&amp"), "&amp");
    EXPECT_EQ(DecodeClientAmpersands(""), "");
}

TEST_F(ProtocolTest, EmptyNameIsAccepted) {
    ASSERT_EQ(update(lstest::UpdateRequest("add", kUser, "0", "", "4125550105", "Sprint")), kUpdateSuccessful);
    EXPECT_EQ(book().back().name, "");
}

TEST_F(ProtocolTest, UpdateRefusesMalformedNumbers) {
    // Ten characters that pass the client's numeric test, and other lengths.
    for (const std::string number : {" 412555010", "412555010 ", "+412555010", "-412555010", "4125.55010", "0125550100",
                                     "1125550100", "412555010", "41255501000", "", "412-555-01", "412555010a",
                                     "４１２５５５０１００"}) {
        EXPECT_EQ(update(lstest::UpdateRequest("add", kUser, "0", "Bob", number, "Sprint")),
                  "Update Failed. The phone number must be exactly 10 digits and must not start with 0 or 1.")
            << number;
        EXPECT_EQ(update(lstest::UpdateRequest("update", kUser, "1", "Bob", number, "Sprint")),
                  "Update Failed. The phone number must be exactly 10 digits and must not start with 0 or 1.")
            << number;
    }
    EXPECT_EQ(book().size(), 2U);
    EXPECT_EQ(book()[0].name, "Tom & Jerry");
}

TEST_F(ProtocolTest, IsValidPhoneNumber) {
    EXPECT_TRUE(IsValidPhoneNumber("4125551212"));
    EXPECT_TRUE(IsValidPhoneNumber("2000000000"));
    EXPECT_TRUE(IsValidPhoneNumber("9999999999"));
    EXPECT_FALSE(IsValidPhoneNumber("1999999999"));
    EXPECT_FALSE(IsValidPhoneNumber("0999999999"));
    EXPECT_FALSE(IsValidPhoneNumber("999999999"));
}

TEST_F(ProtocolTest, UpdateRefusesUnknownUsers) {
    for (const std::string user : {"999", "0", "", "abc", "-1"}) {
        EXPECT_EQ(update(lstest::UpdateRequest("add", user, "0", "Bob", "4125550102", "Sprint")),
                  "Update Failed. Unknown user. Please log in again.")
            << user;
        EXPECT_EQ(update(lstest::UpdateRequest("delete", user, "1", "", "", "")),
                  "Update Failed. Unknown user. Please log in again.")
            << user;
    }
    EXPECT_EQ(book().size(), 2U);
}

TEST_F(ProtocolTest, UpdateRefusesUnknownFriendIds) {
    const std::string other = registerUser("7125550100", "pw");
    ASSERT_EQ(update(lstest::UpdateRequest("add", other, "0", "Theirs", "4125550106", "Sprint")), kUpdateSuccessful);
    const std::string theirs = book(other).front().id;

    for (const std::string id : {"999", "-1", "0", "abc", "", " 1", theirs.c_str()}) {
        const std::string expected =
            "Update Failed. There is no friend with the id \"" + id + "\" in your address book.";
        EXPECT_EQ(update(lstest::UpdateRequest("update", kUser, id, "X", "4125550102", "Sprint")), expected) << id;
        EXPECT_EQ(update(lstest::UpdateRequest("delete", kUser, id, "", "", "")), expected) << id;
    }
    // Nothing changed for either user.
    EXPECT_EQ(book().size(), 2U);
    ASSERT_EQ(book(other).size(), 1U);
    EXPECT_EQ(book(other).front().name, "Theirs");
}

TEST_F(ProtocolTest, AddRefusesAFriendIdOtherThanZero) {
    EXPECT_EQ(update(lstest::UpdateRequest("add", kUser, "5", "Bob", "4125550102", "Sprint")),
              "Update Failed. A new friend must be sent with the friend id 0.");
    EXPECT_EQ(book().size(), 2U);
}

TEST_F(ProtocolTest, UpdateRefusesUnknownAndMissingCarriers) {
    EXPECT_EQ(update(lstest::UpdateRequest("add", kUser, "0", "Bob", "4125550102", "Bell & Howell")),
              "Update Failed. Unknown carrier \"Bell & Howell\".");
    EXPECT_EQ(update(lstest::UpdateRequest("add", kUser, "0", "Bob", "4125550102", "at&t")),
              "Update Failed. Unknown carrier \"at&t\".");
    EXPECT_EQ(update(lstest::UpdateRequest("add", kUser, "0", "Bob", "4125550102", "")),
              "Update Failed. Please choose a carrier.");
    EXPECT_EQ(update(lstest::UpdateRequest("update", kUser, "1", "Bob", "4125550102", "")),
              "Update Failed. Please choose a carrier.");
    // The same name without the client's doubling of "&" is not the carrier's name.
    EXPECT_EQ(update("<QVRABUpdate>    <Action>add</Action>    <Reguser>1</Reguser>    <Friend>0</Friend>"
                     "    <Name>Bob</Name>    <Number>4125550102</Number>    <Carrier>AT&amp;amp;amp;T</Carrier>"
                     "</QVRABUpdate>"),
              "Update Failed. Unknown carrier \"AT&amp;T\".");
    EXPECT_EQ(book().size(), 2U);
}

TEST_F(ProtocolTest, UpdateRefusesOverlongNames) {
    EXPECT_EQ(update(lstest::UpdateRequest("add", kUser, "0", std::string(51, 'n'), "4125550102", "Sprint")),
              "Update Failed. The name may have at most 50 characters.");
    // 50 characters, several bytes each, are fine; "&" counts as one.
    std::string name;
    for (int i = 0; i < 49; ++i) {
        name += "é";
    }
    name += "&";
    ASSERT_EQ(update(lstest::UpdateRequest("add", kUser, "0", name, "4125550102", "Sprint")), kUpdateSuccessful);
    EXPECT_EQ(book().back().name, name);
}

TEST_F(ProtocolTest, UpdateRefusesUnknownActions) {
    for (const std::string action : {"Add", "ADD", "insert", "", "add "}) {
        EXPECT_EQ(update(lstest::UpdateRequest(action, kUser, "0", "Bob", "4125550102", "Sprint")),
                  "Update Failed. Unknown action \"" + action + "\".")
            << action;
    }
    EXPECT_EQ(book().size(), 2U);
}

TEST_F(ProtocolTest, UpdateRefusesBadRequests) {
    const std::string full = lstest::UpdateRequest("add", kUser, "0", "Bob", "4125550102", "Sprint");
    EXPECT_EQ(update(""), "Update Failed. The request could not be read.");
    EXPECT_EQ(update("Update me"), "Update Failed. The request could not be read.");
    EXPECT_EQ(update(full.substr(0, full.size() - 3)), "Update Failed. The request could not be read.");
    EXPECT_EQ(update("<QVRAB>    <User_id>1</User_id></QVRAB>"), "Update Failed. The request could not be read.");
    EXPECT_EQ(update(Oversized("QVRABUpdate")), "Update Failed. The request is too large.");
    for (const std::string field : {"Action", "Reguser", "Friend", "Name", "Number", "Carrier"}) {
        const std::size_t start = full.find("    <" + field + ">");
        const std::size_t end = full.find("</" + field + ">") + field.size() + 3;
        const std::string without = full.substr(0, start) + full.substr(end);
        EXPECT_EQ(update(without), "Update Failed. The request could not be read: the field " + field + " is missing.")
            << without;
    }
    EXPECT_EQ(book().size(), 2U);
}

TEST_F(ProtocolTest, RefusalsNeverReadAsSuccess) {
    for (const std::string& body : std::vector<std::string>{
             "", "x", lstest::UpdateRequest("add", "9", "0", "B", "4125550102", "Sprint")}) {
        const std::string text = update(body);
        EXPECT_NE(text, kUpdateSuccessful);
        EXPECT_EQ(text.rfind("Update Failed. ", 0), 0U) << text;
    }
}

// ---------------------------------------------------------------- send

TEST_F(ProtocolTest, SendToATypedNumberStoresTheMessageExactly) {
    const std::string subject = "Tom & Jerry <3";
    const std::string body = "Line one\r\nLine two & \"three\"\r\n\r\n  end  ";
    const std::string text = AnswerSend(store, lstest::SendRequest(kUser, "0", "7245550199", "AT&T", subject, body),
                                        settings);
    const Answer answer(text);
    EXPECT_EQ(answer.text("//send"), "Your message was sent to 7245550199.");
    EXPECT_EQ(answer.text("//send").substr(0, 21), kSentPrefix);
    EXPECT_FALSE(answer.text("//ad_text").empty());
    EXPECT_FALSE(answer.text("//ad_link").empty());
    EXPECT_EQ(answer.text("//ad_url"), "http://127.0.0.1:8471/vantro_updates.aspx");
    EXPECT_EQ(text.rfind("<response><send>", 0), 0U) << text;

    const std::vector<OutboxMessage> outbox = store.outbox();
    ASSERT_EQ(outbox.size(), 1U);
    const OutboxMessage& row = outbox.front();
    EXPECT_GT(row.id, 0);
    EXPECT_EQ(row.userId, 1);
    EXPECT_EQ(row.friendId, 0);
    EXPECT_EQ(row.number, "7245550199");
    EXPECT_EQ(row.carrier, "AT&T");
    EXPECT_EQ(row.subject, subject);
    EXPECT_EQ(row.body, body);
    EXPECT_EQ(row.sentAt.size(), 20U) << row.sentAt; // 2024-01-02T03:04:05Z
    EXPECT_EQ(row.sentAt.back(), 'Z');

    ASSERT_EQ(console.size(), 1U);
    EXPECT_EQ(console.front(), row.sentAt + " SMS #" + std::to_string(row.id) +
                                   " from 4125551212 to 7245550199 via AT&T <7245550199@txt.att.net>: "
                                   "subject \"Tom & Jerry <3\" "
                                   "body \"Line one\\r\\nLine two & \\\"three\\\"\\r\\n\\r\\n  end  \"");
}

TEST_F(ProtocolTest, SendToAFriendUsesTheFriendsNumberAndCarrier) {
    const Answer answer(AnswerSend(store, lstest::SendRequest(kUser, "1", "", "", "", "Hi Tom"), settings));
    EXPECT_EQ(answer.text("//send"), "Your message was sent to 4125550100.");
    const std::vector<OutboxMessage> outbox = store.outbox();
    ASSERT_EQ(outbox.size(), 1U);
    EXPECT_EQ(outbox[0].friendId, 1);
    EXPECT_EQ(outbox[0].number, "4125550100");
    EXPECT_EQ(outbox[0].carrier, "AT&T");
    EXPECT_EQ(outbox[0].subject, "");
    EXPECT_EQ(outbox[0].body, "Hi Tom");
    ASSERT_EQ(console.size(), 1U);
    EXPECT_NE(console[0].find("to 4125550100 via AT&T <4125550100@txt.att.net>"), std::string::npos) << console[0];
}

TEST_F(ProtocolTest, SendShowsAnUnknownGatewayOnTheConsole) {
    ASSERT_EQ(send(lstest::SendRequest(kUser, "0", "7245550199", "Straight Talk", "", "x")),
              "Your message was sent to 7245550199.");
    ASSERT_EQ(console.size(), 1U);
    EXPECT_NE(console[0].find("via Straight Talk (no email gateway known)"), std::string::npos) << console[0];
}

TEST_F(ProtocolTest, SendWithoutABaseUrlGivesAnEmptyAdUrl) {
    settings.baseUrl.clear();
    const Answer answer(AnswerSend(store, lstest::SendRequest(kUser, "2", "", "", "s", "b"), settings));
    EXPECT_EQ(answer.text("//send"), "Your message was sent to 4125550101.");
    EXPECT_TRUE(answer.has("//ad_url"));
    EXPECT_EQ(answer.text("//ad_url"), "");
}

TEST_F(ProtocolTest, SendRefusals) {
    const std::string other = registerUser("7125550100", "pw");
    ASSERT_EQ(update(lstest::UpdateRequest("add", other, "0", "Theirs", "4125550106", "Sprint")), kUpdateSuccessful);
    const std::string theirs = book(other).front().id;

    const std::vector<std::pair<std::string, std::string>> cases = {
        {lstest::SendRequest("999", "0", "7245550199", "Sprint", "", "x"), "Unknown user. Please log in again."},
        {lstest::SendRequest("", "0", "7245550199", "Sprint", "", "x"), "Unknown user. Please log in again."},
        {lstest::SendRequest(kUser, "77", "", "", "", "x"),
         "There is no friend with the id \"77\" in your address book."},
        {lstest::SendRequest(kUser, theirs, "", "", "", "x"),
         "There is no friend with the id \"" + theirs + "\" in your address book."},
        {lstest::SendRequest(kUser, "x1", "", "", "", "x"),
         "There is no friend with the id \"x1\" in your address book."},
        {lstest::SendRequest(kUser, "0", " 724555019", "Sprint", "", "x"),
         "The phone number must be exactly 10 digits and must not start with 0 or 1."},
        {lstest::SendRequest(kUser, "0", "+724555019", "Sprint", "", "x"),
         "The phone number must be exactly 10 digits and must not start with 0 or 1."},
        {lstest::SendRequest(kUser, "0", "1245550199", "Sprint", "", "x"),
         "The phone number must be exactly 10 digits and must not start with 0 or 1."},
        {lstest::SendRequest(kUser, "0", "", "", "", "x"),
         "The phone number must be exactly 10 digits and must not start with 0 or 1."},
        {lstest::SendRequest(kUser, "0", "7245550199", "", "", "x"), "Please choose a carrier."},
        {lstest::SendRequest(kUser, "0", "7245550199", "Pigeon Post", "", "x"), "Unknown carrier \"Pigeon Post\"."},
        {lstest::SendRequest(kUser, "0", "7245550199", "Sprint", "subject", ""), "The message is empty."},
        {lstest::SendRequest(kUser, "1", "", "", "subject", " \r\n "), "The message is empty."},
        {"", "The request could not be read."},
        {"<html><body>hi</body></html>", "The request could not be read."},
        {"<QVRMessage>    <Reguser>1</Reguser>", "The request could not be read."},
        {Oversized("QVRMessage"), "The request is too large."},
    };
    for (const auto& [body, reason] : cases) {
        const std::string text = AnswerSend(store, body, settings);
        const Answer answer(text);
        EXPECT_EQ(answer.text("//send"), "Send Failed. " + reason) << body.substr(0, 200);
        EXPECT_FALSE(answer.has("//ad_text")) << text.substr(0, 200);
        EXPECT_EQ(text.rfind("<response><send>", 0), 0U) << text.substr(0, 200);
    }
    EXPECT_TRUE(store.outbox().empty());
    EXPECT_TRUE(console.empty());
}

TEST_F(ProtocolTest, SendRefusesMissingFields) {
    const std::string full = lstest::SendRequest(kUser, "0", "7245550199", "Sprint", "s", "b");
    for (const std::string field : {"Reguser", "Friend", "To", "Carrier", "Subject", "Body"}) {
        const std::size_t start = full.find("    <" + field + ">");
        const std::size_t end = full.find("</" + field + ">") + field.size() + 3;
        const std::string without = full.substr(0, start) + full.substr(end);
        EXPECT_EQ(send(without), "Send Failed. The request could not be read: the field " + field + " is missing.")
            << without;
    }
    EXPECT_TRUE(store.outbox().empty());
}

TEST_F(ProtocolTest, QuotedShowsControlCharacters) {
    EXPECT_EQ(Quoted("a\r\nb\tc\x01\\\"é"), "\"a\\r\\nb\\tc\\x01\\\\\\\"é\"");
}

} // namespace
