// The other exchanges as plain functions: accepted requests, the "&" round trip, and refusals.

#include "ExchangesFixture.h"

using namespace exchanges_test;

namespace {

TEST_F(ExchangesTest, Carriers_builtInTable_listsEveryCarrierAmpersandEscaped) {
    const std::string text = exchanges.carriers();
    EXPECT_EQ(text.rfind("<carriers><carrier>AT&amp;T</carrier><carrier>", 0), 0U) << text;
    const std::vector<std::string> names = Answer(text).texts("//carriers/carrier");
    ASSERT_EQ(names.size(), KnownCarriers().size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(names[i], KnownCarriers()[i].name);
    }
}

TEST_F(ExchangesTest, AddressBook_demoUser_holdsTheDemoFriends) {
    EXPECT_EQ(exchanges.addressBook(lstest::AddressBookRequest(kUser)),
              "<address_book><result>TRUE</result><ab>"
              "<friend><id>1</id><name>Tom &amp; Jerry</name><number>4125550100</number>"
              "<carrier>AT&amp;T</carrier></friend>"
              "<friend><id>2</id><name>Alice Walker</name><number>4125550101</number>"
              "<carrier>Verizon Wireless</carrier></friend>"
              "</ab></address_book>");
    const Answer empty(exchanges.addressBook(lstest::AddressBookRequest(registerUser("7125550100", "pw"))));
    EXPECT_EQ(empty.text("//result"), "TRUE");
    EXPECT_TRUE(empty.has("//ab"));
    EXPECT_TRUE(lstest::Friends(empty).empty());
}

TEST_F(ExchangesTest, AddressBook_badRequests_areRefused) {
    Cases cases = {
        {"", "The request could not be read."},
        {"not xml", "The request could not be read."},
        {"<QVRAB>    <User_id>1</User_id>", "The request could not be read."},
        {"<Other>    <User_id>1</User_id></Other>", "The request could not be read."},
        {"<QVRAB></QVRAB>", "The request could not be read: the field User_id is missing."},
        {Oversized("QVRAB"), "The request is too large."},
    };
    for (const std::string id : {"999", "0", "-1", "", " 1", "+1", "abc", "1.0", "99999999999999999999999"}) {
        cases.emplace_back(lstest::AddressBookRequest(id), "Unknown user. Please log in again.");
    }
    for (const auto& [body, reason] : cases) {
        const Answer answer(exchanges.addressBook(body));
        EXPECT_EQ(answer.text("//result"), "FALSE") << body.substr(0, 80);
        EXPECT_EQ(answer.text("//string"), "Retrieve Address Book Failed: " + reason) << body.substr(0, 80);
        EXPECT_FALSE(answer.has("//ab"));
    }
}

TEST_F(ExchangesTest, Update_addUpdateDelete_changeTheBook) {
    EXPECT_EQ(exchanges.update(lstest::UpdateRequest("add", kUser, "0", "Bob", "4125550102", "Sprint")),
              "<update>Update Successful.</update>");
    ASSERT_EQ(update(lstest::UpdateRequest("add", kUser, "0", "", "4125550103", "Ting")), kUpdateSuccessful);
    std::vector<FriendRow> rows = book();
    ASSERT_EQ(rows.size(), 4U);
    const FriendRow bob = rows[2];
    EXPECT_EQ(bob, (FriendRow{"3", "Bob", "4125550102", "Sprint"}));
    EXPECT_EQ(rows[3], (FriendRow{"4", "", "4125550103", "Ting"})); // an empty name is allowed

    ASSERT_EQ(update(lstest::UpdateRequest("update", kUser, bob.id, "Robert", "7245550103", "T-Mobile")),
              kUpdateSuccessful);
    EXPECT_EQ(book()[2], (FriendRow{bob.id, "Robert", "7245550103", "T-Mobile"}));

    ASSERT_EQ(update(lstest::UpdateRequest("delete", kUser, bob.id, "", "", "")), kUpdateSuccessful);
    rows = book();
    ASSERT_EQ(rows.size(), 3U);
    EXPECT_EQ(rows[2].id, "4");
    // Gone for good, and its id is not handed out again.
    EXPECT_NE(update(lstest::UpdateRequest("delete", kUser, bob.id, "", "", "")), kUpdateSuccessful);
    ASSERT_EQ(update(lstest::UpdateRequest("add", kUser, "0", "Carl", "4125550104", "Sprint")), kUpdateSuccessful);
    EXPECT_EQ(book().back().id, "5");
}

TEST_F(ExchangesTest, Update_ampersandsInNamesAndCarriers_comeBackAsTyped) {
    const std::string body = lstest::UpdateRequest("add", kUser, "0", "Tom & Jerry's <Cats>", "4125550103", "AT&T");
    EXPECT_NE(body.find("<Name>Tom &amp;amp; Jerry's &lt;Cats&gt;</Name>"), std::string::npos) << body;
    EXPECT_NE(body.find("<Carrier>AT&amp;amp;T</Carrier>"), std::string::npos) << body;
    ASSERT_EQ(update(body), kUpdateSuccessful);
    EXPECT_EQ(book().back().name, "Tom & Jerry's <Cats>");
    EXPECT_EQ(book().back().carrier, "AT&T");

    const std::string id = book().back().id;
    ASSERT_EQ(update(lstest::UpdateRequest("update", kUser, id, "R&amp;D && Co", "4125550104", "AT&T")),
              kUpdateSuccessful);
    EXPECT_EQ(book().back(), (FriendRow{id, "R&amp;D && Co", "4125550104", "AT&T"}));

    // 50 characters of several bytes each fit; "&" counts as one.
    std::string name;
    for (int i = 0; i < 49; ++i) {
        name += "é";
    }
    name += "&";
    ASSERT_EQ(update(lstest::UpdateRequest("add", kUser, "0", name, "4125550102", "Sprint")), kUpdateSuccessful);
    EXPECT_EQ(book().back().name, name);
}

TEST_F(ExchangesTest, Update_badRequests_leaveTheBookAsItWas) {
    const std::string other = registerUser("7125550100", "pw");
    ASSERT_EQ(update(lstest::UpdateRequest("add", other, "0", "Theirs", "4125550106", "Sprint")), kUpdateSuccessful);
    const std::string theirs = book(other).front().id;
    const auto add = [this](const std::string& name, const std::string& number, const std::string& carrier) {
        return lstest::UpdateRequest("add", kUser, "0", name, number, carrier);
    };

    const std::string full = add("Bob", "4125550102", "Sprint");
    const std::string crowded = registerUser("7125550101", "pw");
    for (std::int64_t i = 0; i < Store::kMaxFriendsPerUser; ++i) {
        ASSERT_TRUE(store.addFriend(store.sessionUser(crowded)->id, Friend{0, "F", "4125550109", "Sprint"}));
    }
    Cases cases = {
        {lstest::UpdateRequest("add", crowded, "0", "Bob", "4125550102", "Sprint"),
         "The address book cannot take more entries."},
        {lstest::UpdateRequest("add", kUser, "5", "Bob", "4125550102", "Sprint"),
         "A new friend must be sent with the friend id 0."},
        {add("Bob", "4125550102", "Bell & Howell"), "Unknown carrier \"Bell & Howell\"."},
        {add("Bob", "4125550102", "at&t"), "Unknown carrier \"at&t\"."},
        {add("Bob", "4125550102", ""), "Please choose a carrier."},
        {lstest::UpdateRequest("update", kUser, "1", "Bob", "4125550102", ""), "Please choose a carrier."},
        // Chosen as typed, an entity is not read as an ampersand.
        {lstest::UpdateRequest("add", kUser, "0", "Bob", "4125550102", "AT&amp;T"), "Unknown carrier \"AT&amp;T\"."},
        {add(std::string(51, 'n'), "4125550102", "Sprint"), "The name may have at most 50 characters."},
        {"", "The request could not be read."},
        {"Update me", "The request could not be read."},
        {full.substr(0, full.size() - 3), "The request could not be read."},
        {lstest::AddressBookRequest(kUser), "The request could not be read."},
        {Oversized("QVRABUpdate"), "The request is too large."},
    };
    // Ten characters that pass the client's own number check, and other lengths.
    for (const std::string number : {" 412555010", "412555010 ", "+412555010", "-412555010", "4125.55010", "0125550100",
                                     "1125550100", "412555010", "41255501000", "", "412555010a"}) {
        cases.emplace_back(add("Bob", number, "Sprint"), kBadNumber);
        cases.emplace_back(lstest::UpdateRequest("update", kUser, "1", "Bob", number, "Sprint"), kBadNumber);
    }
    for (const std::string user : {"999", "0", "", "abc", "-1"}) {
        cases.emplace_back(lstest::UpdateRequest("add", user, "0", "Bob", "4125550102", "Sprint"),
                           "Unknown user. Please log in again.");
    }
    for (const std::string id : {"999", "-1", "0", "abc", "", " 1", theirs.c_str()}) {
        const std::string reason = "There is no friend with the id \"" + id + "\" in your address book.";
        cases.emplace_back(lstest::UpdateRequest("update", kUser, id, "X", "4125550102", "Sprint"), reason);
        cases.emplace_back(lstest::UpdateRequest("delete", kUser, id, "", "", ""), reason);
    }
    for (const std::string action : {"Add", "insert", "", "add "}) {
        cases.emplace_back(lstest::UpdateRequest(action, kUser, "0", "Bob", "4125550102", "Sprint"),
                           "Unknown action \"" + action + "\".");
    }
    for (const std::string field : {"Action", "Reguser", "Friend", "Name", "Number", "Carrier"}) {
        cases.emplace_back(Without(full, field), "The request could not be read: the field " + field + " is missing.");
    }

    const std::vector<FriendRow> before = book();
    for (const auto& [body, reason] : cases) {
        EXPECT_EQ(update(body), "Update Failed. " + reason) << body.substr(0, 200);
    }
    EXPECT_EQ(book(), before);
    ASSERT_EQ(book(other).size(), 1U);
    EXPECT_EQ(book(other).front().name, "Theirs");
}

TEST_F(ExchangesTest, Send_answer_carriesTheAdvertisementSet_escapedAsXmlText) {
    const struct {
        Advertisement ad;
        std::string publicUrl;
        std::string text, link, url; // as the program reads them
    } cases[] = {
        {{}, "https://sms.example.org", "Track this message and your last ones", "See delivery status",
         "https://sms.example.org/messages.aspx"},
        {{}, "", "Track this message and your last ones", "See delivery status", ""},
        {{"Tom & Jerry's <deals>", "Shop \"now\"", "https://shop.example.org/?a=1&b=2"}, "https://sms.example.org",
         "Tom & Jerry's <deals>", "Shop \"now\"", "https://shop.example.org/?a=1&b=2"},
        {{"No link today", "", ""}, "https://sms.example.org", "No link today", "", ""},
    };
    for (const auto& c : cases) {
        Exchanges withAd(store, {.publicUrl = c.publicUrl, .ad = c.ad});
        const std::string text = withAd.send(lstest::SendRequest(kUser, "0", "7245550199", "AT&T", "", "Hi"));
        SCOPED_TRACE(text);
        const Answer answer(text);
        EXPECT_EQ(answer.text("//send"), "Your message was sent to 7245550199.");
        EXPECT_EQ(answer.text("//ad_text"), c.text);
        EXPECT_EQ(answer.text("//ad_link"), c.link);
        EXPECT_EQ(answer.text("//ad_url"), c.url);
        // Every element is there, also when empty: the program takes a missing one for a failure.
        for (const char* element : {"<ad_text", "<ad_link", "<ad_url"}) {
            EXPECT_NE(text.find(element), std::string::npos) << element;
        }
    }
}

TEST_F(ExchangesTest, Send_toATypedNumber_storesTheMessageExactly) {
    const std::string subject = "Tom & Jerry <3";
    const std::string body = "Line one\r\nLine two & \"three\"\r\n\r\n  end  ";
    const std::string text = exchanges.send(lstest::SendRequest(kUser, "0", "7245550199", "AT&T", subject, body));
    EXPECT_EQ(text.rfind("<response><send>Your message was sent to 7245550199.</send>", 0), 0U) << text;
    const Answer answer(text);
    EXPECT_EQ(answer.text("//ad_text"), "Track this message and your last ones");
    EXPECT_EQ(answer.text("//ad_link"), "See delivery status");
    EXPECT_EQ(answer.text("//ad_url"), "http://127.0.0.1:8471/messages.aspx");

    const std::vector<OutboxMessage> outbox = store.outbox();
    ASSERT_EQ(outbox.size(), 1U);
    const OutboxMessage& row = outbox.front();
    EXPECT_EQ(row.userId, 1);
    EXPECT_EQ(row.friendId, 0);
    EXPECT_EQ(row.number, "7245550199");
    EXPECT_EQ(row.carrier, "AT&T");
    EXPECT_EQ(row.subject, subject);
    EXPECT_EQ(row.body, body);
    EXPECT_EQ(row.sentAt.size(), 20U) << row.sentAt; // 2024-01-02T03:04:05Z

    ASSERT_EQ(console.size(), 1U);
    EXPECT_EQ(console.front(), row.sentAt + " SMS #" + std::to_string(row.id) +
                                   " from 4125551212 to 7245550199 via AT&T (no email gateway known): "
                                   "subject \"Tom & Jerry <3\" "
                                   "body \"Line one\\r\\nLine two & \\\"three\\\"\\r\\n\\r\\n  end  \"");
}

TEST(ConsoleLineTest, Quoted_escapesEverythingThatBreaksOrControlsALogLine) {
    const Cases cases = {
        {"a\r\nb\tc", "\"a\\r\\nb\\tc\""},
        {"\x01\x1f\x7f\\\"", "\"\\x01\\x1F\\x7F\\\\\\\"\""},
        {"a\u0085b\u0080\u009f", "\"a\\u0085b\\u0080\\u009F\""},
        {"one\u2028two\u2029", "\"one\\u2028two\\u2029\""},
        {"caf\u00e9 \u00a0\u2027\u202a\u20ac", "\"caf\u00e9 \u00a0\u2027\u202a\u20ac\""}, // the rest as they are
    };
    for (const auto& [text, quoted] : cases) {
        EXPECT_EQ(Quoted(text), quoted) << text;
    }
}

TEST_F(ExchangesTest, Send_toAFriend_usesTheFriendsNumberAndCarrier) {
    EXPECT_EQ(Answer(exchanges.send(lstest::SendRequest(kUser, "1", "", "", "", "Hi Tom"))).text("//send"),
              "Your message was sent to 4125550100.");
    ASSERT_EQ(store.outbox().size(), 1U);
    EXPECT_EQ(store.outbox()[0].friendId, 1);
    EXPECT_EQ(store.outbox()[0].number, "4125550100");
    EXPECT_EQ(store.outbox()[0].carrier, "AT&T");

    // A carrier without a known gateway, and no address for the advertisement.
    Exchanges noAddress(
        store,
        {.publicUrl = "", .console = [this](const std::string& line) { console.push_back(line); }, .throttle = {}});
    const Answer answer(noAddress.send(lstest::SendRequest(kUser, "0", "7245550199", "Straight Talk", "", "x")));
    EXPECT_EQ(answer.text("//send"), "Your message was sent to 7245550199.");
    EXPECT_EQ(answer.text("//ad_url"), "");
    ASSERT_EQ(console.size(), 2U);
    EXPECT_NE(console[1].find("via Straight Talk (no email gateway known)"), std::string::npos) << console[1];
}

TEST_F(ExchangesTest, Send_badRequests_storeNothing) {
    const std::string other = registerUser("7125550100", "pw");
    ASSERT_EQ(update(lstest::UpdateRequest("add", other, "0", "Theirs", "4125550106", "Sprint")), kUpdateSuccessful);
    const std::string theirs = book(other).front().id;
    const std::string full = lstest::SendRequest(kUser, "0", "7245550199", "Sprint", "s", "b");

    Cases cases = {
        {lstest::SendRequest("999", "0", "7245550199", "Sprint", "", "x"), "Unknown user. Please log in again."},
        {lstest::SendRequest("", "0", "7245550199", "Sprint", "", "x"), "Unknown user. Please log in again."},
        {lstest::SendRequest(kUser, "77", "", "", "", "x"),
         "There is no friend with the id \"77\" in your address book."},
        {lstest::SendRequest(kUser, theirs, "", "", "", "x"),
         "There is no friend with the id \"" + theirs + "\" in your address book."},
        {lstest::SendRequest(kUser, "x1", "", "", "", "x"),
         "There is no friend with the id \"x1\" in your address book."},
        {lstest::SendRequest(kUser, "0", " 724555019", "Sprint", "", "x"), kBadNumber},
        {lstest::SendRequest(kUser, "0", "+724555019", "Sprint", "", "x"), kBadNumber},
        {lstest::SendRequest(kUser, "0", "1245550199", "Sprint", "", "x"), kBadNumber},
        {lstest::SendRequest(kUser, "0", "", "", "", "x"), kBadNumber},
        {lstest::SendRequest(kUser, "0", "7245550199", "", "", "x"), "Please choose a carrier."},
        {lstest::SendRequest(kUser, "0", "7245550199", "Pigeon Post", "", "x"), "Unknown carrier \"Pigeon Post\"."},
        {lstest::SendRequest(kUser, "0", "7245550199", "Sprint", "subject", ""), "The message is empty."},
        {lstest::SendRequest(kUser, "1", "", "", "subject", " \r\n "), "The message is empty."},
        // Blank only once the XML reader has decoded it: a character reference, a CDATA blank.
        {WithBody(full, "&#32;&#x9;"), "The message is empty."},
        {WithBody(full, "<![CDATA[ ]]>"), "The message is empty."},
        {"", "The request could not be read."},
        {"<html><body>hi</body></html>", "The request could not be read."},
        {full.substr(0, full.size() - 1), "The request could not be read."},
        {Oversized("QVRMessage"), "The request is too large."},
    };
    // Documents that are not well-formed XML 1.0, or that declare entities, are not read.
    const auto withBody = [&](const std::string& raw) {
        std::string request = full;
        request.replace(request.find("<Body>b<") + 6, 1, raw);
        return request;
    };
    for (const std::string& raw :
         std::vector<std::string>{"a&#0;b", "a&#1;b", "a&#xFFFE;b", "a\1b", std::string("a\0b", 3), "\xFF\xFE",
                                  "\xED\xA0\x80", "a&nbsp;b"}) {
        cases.emplace_back(withBody(raw), "The request could not be read.");
    }
    cases.emplace_back("<!DOCTYPE QVRMessage [<!ENTITY e \"x\">]>" + withBody("&e;"), "The request could not be read.");
    for (const std::string field : {"Reguser", "Friend", "To", "Carrier", "Subject", "Body"}) {
        cases.emplace_back(Without(full, field), "The request could not be read: the field " + field + " is missing.");
    }
    for (const auto& [body, reason] : cases) {
        const std::string text = exchanges.send(body);
        EXPECT_EQ(text, "<response><send>Send Failed. " + reason + "</send></response>") << body.substr(0, 200);
    }
    EXPECT_TRUE(store.outbox().empty());
    EXPECT_TRUE(console.empty());
}

// Everything that needs a session, with tokens that must not open one.
TEST_F(ExchangesTest, AllExchanges_tokensOfOthersMadeUpOrExpired_areRefused) {
    std::int64_t now = 1'700'000'000;
    Store timed(":memory:", {.sessionIdleSeconds = 3600, .clock = [&now] { return now; }});
    Exchanges service(timed, {});
    const auto logIn = [&](std::string_view login, std::string_view password) {
        return Answer(service.login(lstest::LoginRequest(login, password), "127.0.0.1")).text("//string");
    };
    ASSERT_TRUE(timed.registerUser("7125550100", HashPassword("theirs")));
    const std::string expired = logIn(kDemoLogin, kDemoPassword);
    now += 3601;
    const std::string theirs = logIn("7125550100", "theirs");
    const std::string mine = logIn(kDemoLogin, kDemoPassword);
    ASSERT_EQ(service.update(lstest::UpdateRequest("add", theirs, "0", "Theirs", "4125550106", "Sprint")),
              "<update>Update Successful.</update>");
    const std::string theirFriend =
        lstest::Friends(Answer(service.addressBook(lstest::AddressBookRequest(theirs))))[0].id;

    for (const std::string& token : {expired, std::string(32, 'a'), std::string(kDemoUserId), theirs + " ", mine + "0",
                                     std::string("1"), std::string()}) {
        EXPECT_EQ(Answer(service.addressBook(lstest::AddressBookRequest(token))).text("//string"),
                  "Retrieve Address Book Failed: Unknown user. Please log in again.")
            << token;
        EXPECT_EQ(Answer(service.update(lstest::UpdateRequest("add", token, "0", "X", "4125550102", "Sprint")))
                      .text("//update"),
                  "Update Failed. Unknown user. Please log in again.")
            << token;
        EXPECT_EQ(Answer(service.send(lstest::SendRequest(token, "0", "7245550199", "Sprint", "", "x"))).text("//send"),
                  "Send Failed. Unknown user. Please log in again.")
            << token;
    }
    // Another user's token reaches only that user's book; their friend id is not mine.
    EXPECT_EQ(lstest::Friends(Answer(service.addressBook(lstest::AddressBookRequest(mine)))).size(),
              kDemoFriends.size());
    for (const char* action : {"update", "delete"}) {
        EXPECT_EQ(Answer(service.update(lstest::UpdateRequest(action, mine, theirFriend, "X", "4125550102", "Sprint")))
                      .text("//update"),
                  "Update Failed. There is no friend with the id \"" + theirFriend + "\" in your address book.");
    }
    EXPECT_EQ(Answer(service.send(lstest::SendRequest(mine, theirFriend, "", "", "", "x"))).text("//send"),
              "Send Failed. There is no friend with the id \"" + theirFriend + "\" in your address book.");
    EXPECT_TRUE(timed.outbox().empty());
    EXPECT_EQ(lstest::Friends(Answer(service.addressBook(lstest::AddressBookRequest(theirs)))).size(), 1U);
}

TEST_F(ExchangesTest, Send_overTheLimits_isRefusedSayingWhenToSendAgain) {
    std::int64_t now = 1'700'000'000; // 2023-11-14T22:13:20Z
    Store timed(":memory:", {.sendsPerMinute = 2, .sendsPerDay = 3, .clock = [&now] { return now; }});
    Exchanges service(timed, {});
    const std::string token =
        Answer(service.login(lstest::LoginRequest(kDemoLogin, kDemoPassword), "127.0.0.1")).text("//string");
    const auto send = [&] {
        return Answer(service.send(lstest::SendRequest(token, "1", "", "", "", "Hi"))).text("//send");
    };
    const std::string sent = "Your message was sent to 4125550100.";
    EXPECT_EQ(send(), sent);
    now += 5;
    EXPECT_EQ(send(), sent);
    EXPECT_EQ(send(), "Send Failed. You may send 2 messages a minute. Please send again after 22:14:20 UTC.");
    now += 55;
    EXPECT_EQ(send(), sent);
    now += 60;
    EXPECT_EQ(send(), "Send Failed. You may send 3 messages a day. Please send again after 2023-11-15 22:13:20 UTC.");
    now += 24 * 60 * 60 - 120;
    EXPECT_EQ(send(), sent);
    EXPECT_EQ(timed.outbox().size(), 4U);
}

} // namespace
