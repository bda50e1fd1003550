#include "service/AddressBookRetrieval.h"

#include "app/Global.h"
#include "service/ServiceErrors.h"
#include "tests/support/VantroTest.h"

#include <limits>

namespace {

constexpr const char* BookPath = "/vantro_ab.aspx";

std::string friendXml(const std::string& id, const std::string& name, const std::string& number = "5551234567",
                      const std::string& carrier = "Verizon") {
    return "<friend><id>" + id + "</id><name>" + name + "</name><number>" + number + "</number><carrier>" + carrier +
           "</carrier></friend>";
}

std::string bookAnswer(const std::string& friends) {
    return "<address_book><result>TRUE</result><ab>" + friends + "</ab></address_book>";
}

struct Row {
    std::int32_t id;
    std::string name, number, carrier;
    bool operator==(const Row&) const = default;
};

std::vector<Row> rows(const std::vector<ab_friend>& friends) {
    std::vector<Row> result;
    for (const ab_friend& f : friends) {
        result.push_back({f.id, f.name, f.number, f.carrier});
    }
    return result;
}

void PrintTo(const Row& row, std::ostream* out) {
    *out << "{" << row.id << ", " << row.name << ", " << row.number << ", " << row.carrier << "}";
}

class AddressBookRetrievalTest : public VantroTest {};

} // namespace

TEST_F(AddressBookRetrievalTest, sendsTheUserIdUnescapedToTheAddressBookPath) {
    server.replyXml(BookPath, bookAnswer(""));
    std::vector<ab_friend> friends;

    RetrieveAddressBook("4&2<", friends);

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    const std::string expected = "<QVRAB>    <User_id>4&2<</User_id></QVRAB>";
    EXPECT_EQ(requests[0].target, BookPath);
    EXPECT_EQ(requests[0].body, expected);
    EXPECT_EQ(requests[0].header("Content-Length"), std::to_string(expected.size()));
    EXPECT_EQ(requests[0].header("Content-Type"), "text/xml");
}

TEST_F(AddressBookRetrievalTest, readsTheFriendsOfTheFirstAbInOrderWithFieldsInAnyOrder) {
    server.replyXml(BookPath,
                    "<address_book><friend><id>90</id><name>Outside</name><number>1</number><carrier>c</carrier>"
                    "</friend><result>TRUE</result><x><ab>" +
                        friendXml("7", "Ann &amp; Bo", "5550000001", "AT&amp;T") +
                        // Children in another order, an extra child, a second name: the first counts.
                        "<friend><carrier>Sprint</carrier><note>skip</note><number>5550000002</number>"
                        "<name>Cy</name><id>-1</id><name>Second name</name></friend>"
                        // Ids are not keys: a repeated id is a second entry.
                        "<group>" +
                        friendXml("91", "Nested, not a child of ab") + "</group>" + friendXml("7", "Ann again") +
                        "</ab></x><ab>" + friendXml("92", "In the second ab") + "</ab></address_book>");
    std::vector<ab_friend> friends;

    EXPECT_EQ(RetrieveAddressBook("42", friends), std::nullopt);

    EXPECT_EQ(rows(friends), (std::vector<Row>{{7, "Ann & Bo", "5550000001", "AT&T"},
                                               {-1, "Cy", "5550000002", "Sprint"},
                                               {7, "Ann again", "5551234567", "Verizon"}}));
}

TEST_F(AddressBookRetrievalTest, appendsToWhatTheCallerPassesIn) {
    server.replyXml(BookPath, bookAnswer(friendXml("2", "New")));
    std::vector<ab_friend> friends{ab_friend{1, "Kept", "", ""}};

    RetrieveAddressBook("42", friends);

    EXPECT_EQ(rows(friends), (std::vector<Row>{{1, "Kept", "", ""}, {2, "New", "5551234567", "Verizon"}}));
}

TEST_F(AddressBookRetrievalTest, answersWithoutEntriesOrWithARefusal) {
    struct Case {
        const char* what;
        int status;
        std::string body;
        std::optional<std::string> message;
    };
    const Case cases[] = {
        {"empty ab", 200, bookAnswer(""), std::nullopt},
        {"no ab", 200, "<address_book><result>TRUE</result><friend><id>1</id></friend></address_book>", std::nullopt},
        {"lower case true", 200, "<r><result>true</result><ab>" + friendXml("1", "A") + "</ab></r>", std::nullopt},
        {"capitalised true", 200, "<r><result>True</result><ab>" + friendXml("1", "A") + "</ab></r>", std::nullopt},
        {"empty result", 200, "<r><result/><string>x</string></r>", std::nullopt},
        {"refusal", 200,
         "<r><result>FALSE</result><string>Unknown user.</string><ab>" + friendXml("1", "A") + "</ab></r>",
         "Unknown user."},
        {"first result counts", 200, "<r><result>FALSE</result><result>TRUE</result><string>No.</string></r>", "No."},
        {"500", 500, bookAnswer(friendXml("1", "A")), "Retrieve Address Book Failed: Could not connect to server:500"},
        {"404", 404, "", "Retrieve Address Book Failed: Could not connect to server:404"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        server.reply(BookPath, c.status, c.body);
        std::vector<ab_friend> friends;

        EXPECT_EQ(RetrieveAddressBook("42", friends), c.message);
        EXPECT_TRUE(friends.empty());
    }
}

TEST_F(AddressBookRetrievalTest, readsIdsAsNumbersRoundedHalfToEven) {
    const std::pair<const char*, std::int32_t> cases[] = {
        {"7", 7},
        {"-1", -1},
        {"0", 0},
        {"2.5", 2},
        {"3.5", 4},
        {"-2.5", -2},
        {"-0.5", 0},
        {"2.4999", 2},
        {"2.5001", 3},
        {"40000", 40000},
        {" 12 ", 12},
        {"\t13\n", 13},
        {"+5", 5},
        {"1e3", 1000},
        {"007", 7},
        {"2147483647", std::numeric_limits<std::int32_t>::max()},
        {"2147483647.4", std::numeric_limits<std::int32_t>::max()},
        {"-2147483648", std::numeric_limits<std::int32_t>::min()},
        {"-2147483648.5", std::numeric_limits<std::int32_t>::min()},
    };
    std::string friendsXml;
    std::vector<std::int32_t> expected;
    for (const auto& [text, id] : cases) {
        friendsXml += friendXml(text, text);
        expected.push_back(id);
    }
    server.replyXml(BookPath, bookAnswer(friendsXml));
    std::vector<ab_friend> friends;

    RetrieveAddressBook("42", friends);

    ASSERT_EQ(friends.size(), std::size(cases));
    for (std::size_t i = 0; i < friends.size(); ++i) {
        EXPECT_EQ(friends[i].id, expected[i]) << "id text \"" << friends[i].name << "\"";
    }
}

TEST_F(AddressBookRetrievalTest, anIdThatIsNotA32BitNumberStopsTheLoadKeepingEarlierEntries) {
    for (const char* bad : {"", "abc", "12abc", "1,5", "0x10", "+-1", "--1", "+", "-", ".", "2147483648",
                            "2147483647.5", "-2147483649", "-2147483648.6", "1e10", "1e400", "nan", "inf", "-inf"}) {
        SCOPED_TRACE(std::string("id text \"") + bad + "\"");
        server.replyXml(BookPath,
                        bookAnswer(friendXml("1", "First") + friendXml(bad, "Bad") + friendXml("3", "Never read")));
        std::vector<ab_friend> friends;
        try {
            RetrieveAddressBook("42", friends);
            ADD_FAILURE() << "the load went through";
        } catch (const FriendIdError& error) {
            EXPECT_EQ(error.idText(), bad);
            EXPECT_NE(std::string(error.what()).find(std::string("\"") + bad + "\""), std::string::npos)
                << error.what();
        }
        EXPECT_EQ(rows(friends), (std::vector<Row>{{1, "First", "5551234567", "Verizon"}}));
    }
}

TEST_F(AddressBookRetrievalTest, aFriendWithoutOneOfItsFourFieldsStopsTheLoad) {
    const char* const fields[] = {"id", "name", "number", "carrier"};
    for (const char* missing : fields) {
        SCOPED_TRACE(missing);
        std::string incomplete = "<friend>";
        for (const char* field : fields) {
            if (std::string(field) != missing) {
                incomplete += std::string("<") + field + ">5</" + field + ">";
            }
        }
        // Present deeper down does not count: only a direct child of the friend does.
        incomplete += std::string("<more><") + missing + ">5</" + missing + "></more></friend>";
        server.replyXml(BookPath, bookAnswer(friendXml("1", "First") + incomplete + friendXml("3", "Never read")));
        std::vector<ab_friend> friends;

        EXPECT_THROW(RetrieveAddressBook("42", friends), MissingNodeError);
        EXPECT_EQ(rows(friends), (std::vector<Row>{{1, "First", "5551234567", "Verizon"}}));
    }
}

TEST_F(AddressBookRetrievalTest, answersWithoutTheNeededNodesOrNoConnectionAreErrors) {
    for (const char* body : {"", "<html><body>Server Error", "<address_book><ab/></address_book>",
                             "<address_book><result>FALSE</result></address_book>"}) {
        SCOPED_TRACE(body);
        server.replyXml(BookPath, body);
        std::vector<ab_friend> friends;
        EXPECT_THROW(RetrieveAddressBook("42", friends), MissingNodeError);
        EXPECT_TRUE(friends.empty());
    }

    global::ServiceUrl = LoopbackServer::closedPortUrl();
    std::vector<ab_friend> friends;
    EXPECT_THROW(RetrieveAddressBook("42", friends), TransportError);
}
