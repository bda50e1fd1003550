// "My messages" through a real socket: signing in under the login pauses, the list of one's own
// messages in plain words, the cookies, the form token, and deleting the account.

#include "ServerFixture.h"
#include "server/delivery/ReportSecret.h"
#include "server/store/Passwords.h"
#include "support/PageVisit.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <tuple>

using namespace server_test;
using lstest::PageVisit;

namespace {

constexpr const char* kAnn = "7125550100";
constexpr const char* kBen = "7125550101";

class MessagesPageTest : public ServerTest {
protected:
    // A pause long enough that no test outruns it.
    void configure(ServerOptions& options) override {
        options.throttle.failuresBeforePause = 3;
        options.throttle.firstPauseSeconds = 600;
    }

    std::int64_t addUser(const char* login) {
        return service->store().registerUser(login, HashPassword(std::string("pw of ") + login)).value();
    }
    static std::string passwordOf(const char* login) { return std::string("pw of ") + login; }

    // A message of `user` to `to`, queued; then moved on as the SMS gateway would report.
    std::int64_t message(std::int64_t user, const std::string& to, const std::string& body,
                         std::string_view state = delivery::kQueued, const std::string& reason = {}) {
        Store& store = service->store();
        OutboxMessage entry;
        entry.userId = user;
        entry.number = to;
        entry.carrier = "AT&T";
        entry.subject = "Re: <b>";
        entry.body = body;
        entry.state = state == delivery::kOff ? std::string(delivery::kOff) : std::string(delivery::kQueued);
        const std::int64_t id = store.addToOutbox(entry).message.id;
        if (state != delivery::kQueued && state != delivery::kOff) {
            EXPECT_TRUE(store.setReportSecretHash(id, ReportSecretHash("s")));
            store.markAccepted(id, 1, "0: Accepted for delivery");
        }
        if (state != delivery::kQueued && state != delivery::kOff && state != delivery::kAccepted) {
            EXPECT_EQ(store.applyReport({id, "s", std::string(state), reason}), ReportResult::Applied);
        }
        return id;
    }

    // The page of a signed-in visit.
    std::string listed(PageVisit& visit) {
        auto res = visit.get();
        return res ? res->body : "<no answer>";
    }
};

TEST_F(MessagesPageTest, SignIn_withWrongPasswords_countsTowardTheLoginPause_ofThePageAndTheProgram) {
    addUser(kAnn);
    PageVisit visit(*client);
    for (int i = 0; i < 3; ++i) {
        auto res = visit.signIn(kAnn, "wrong");
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 400);
        EXPECT_NE(res->body.find("The number or the password is not right."), std::string::npos);
        EXPECT_NE(res->body.find("aria-invalid=\"true\" autofocus"), std::string::npos); // the password field
        EXPECT_EQ(visit.cookie("vantro_page"), "");
    }
    // Now the right password is paused too, on the page and in the program.
    auto res = visit.signIn(kAnn, passwordOf(kAnn));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 429);
    EXPECT_NE(res->body.find("Too many failed sign-ins. Please try again in"), std::string::npos);
    auto login = post("/vantro_login.aspx", lstest::LoginRequest(kAnn, passwordOf(kAnn)));
    ASSERT_TRUE(login);
    EXPECT_EQ(Answer(login->body).text("//string").rfind("Login Failed: Too many failed logins.", 0), 0U);
}

TEST_F(MessagesPageTest, List_showsOnlyTheSignedInUsersMessages_eachUserTheirOwn) {
    const std::int64_t ann = addUser(kAnn);
    const std::int64_t ben = addUser(kBen);
    message(ann, "4125550107", "Ann's first");
    message(ben, "4125550108", "Ben's only");
    message(ann, "4125550109", "Ann's second");
    for (const auto& [login, own, other] :
         {std::tuple{kAnn, "Ann's second", "Ben's only"}, std::tuple{kBen, "Ben's only", "Ann's second"}}) {
        PageVisit visit(*client);
        auto res = visit.signIn(login, passwordOf(login));
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 303);
        EXPECT_EQ(res->get_header_value("Location"), "/messages.aspx");
        const std::string page = listed(visit);
        EXPECT_NE(page.find(HtmlEscape(own)), std::string::npos) << login;
        EXPECT_EQ(page.find(HtmlEscape(other)), std::string::npos) << login;
    }
    PageVisit ann1(*client);
    ann1.signIn(kAnn, passwordOf(kAnn));
    const std::string page = listed(ann1);
    // Newest first.
    EXPECT_LT(page.find("Ann&#39;s second"), page.find("Ann&#39;s first"));
}

TEST_F(MessagesPageTest, List_showsEachStateInItsWords_andAFriendsNumberAsTheFriendsName) {
    const std::int64_t ann = addUser(kAnn);
    ASSERT_TRUE(service->store().addFriend(ann, Friend{0, "Tom & Jerry", "4125550107", "AT&T"}));
    const struct {
        std::string_view state;
        const char* reason;
        const char* words;
    } cases[] = {
        {delivery::kQueued, "", "waiting to be sent (next attempt "},
        {delivery::kAccepted, "", "handed to the network"},
        {delivery::kSubmitted, "", "handed to the network"},
        {delivery::kDelivered, "", "delivered to the phone ("},
        {delivery::kFailed, "err:00B", "not delivered: err:00B"},
        {delivery::kExpired, "stat:EXPIRED", "not delivered: stat:EXPIRED"},
        {delivery::kOff, "", "not sent: delivery is off"},
    };
    for (const auto& c : cases) {
        message(ann, "4125550108", "A text that is " + std::string(c.state), c.state, c.reason);
    }
    message(ann, "4125550107", std::string(70, 'x'));
    PageVisit visit(*client);
    visit.signIn(kAnn, passwordOf(kAnn));
    const std::string page = listed(visit);
    for (const auto& c : cases) {
        const std::size_t item = page.find("A text that is " + std::string(c.state));
        ASSERT_NE(item, std::string::npos) << c.state;
        const std::size_t state = page.find("<dd class=\"state\">", item);
        EXPECT_EQ(page.compare(state + 18, std::strlen(c.words), c.words), 0)
            << c.state << ": " << page.substr(state, 80);
    }
    EXPECT_NE(page.find("<dt>To</dt><dd>Tom &amp; Jerry</dd>"), std::string::npos);
    EXPECT_NE(page.find("<dt>To</dt><dd>4125550108</dd>"), std::string::npos);
    EXPECT_NE(page.find("<strong>Re: &lt;b&gt;</strong> " + std::string(60, 'x') + "\u2026</dd>"), std::string::npos);
    EXPECT_NE(page.find("<dt>Sent (UTC)</dt>"), std::string::npos);
}

TEST_F(MessagesPageTest, SessionCookie_isHttpOnlyStrictForThePageOnly_andEndsOnSignOutAndNewPassword) {
    const std::int64_t ann = addUser(kAnn);
    PageVisit visit(*client);
    ASSERT_EQ(visit.setCookies.size(), 1U);
    EXPECT_EQ(visit.setCookies[0],
              "vantro_form=" + visit.formToken() + "; Path=/messages.aspx; SameSite=Strict; HttpOnly");
    visit.signIn(kAnn, passwordOf(kAnn));
    ASSERT_EQ(visit.setCookies.size(), 1U);
    const std::string session = visit.cookie("vantro_page");
    EXPECT_EQ(visit.setCookies[0], "vantro_page=" + session + "; Path=/messages.aspx; SameSite=Strict; HttpOnly");
    // It is not the program's session.
    auto book = post("/vantro_ab.aspx", lstest::AddressBookRequest(session));
    ASSERT_TRUE(book);
    EXPECT_EQ(Answer(book->body).text("//result"), "FALSE");

    auto res = visit.post({{"step", "signout"}});
    ASSERT_TRUE(res);
    EXPECT_NE(res->body.find("You are signed out."), std::string::npos);
    EXPECT_EQ(visit.setCookies.at(0), "vantro_page=; Path=/messages.aspx; SameSite=Strict; HttpOnly; Max-Age=0");
    // The token itself has ended, not just the cookie.
    res = client->Get("/messages.aspx", {{"Cookie", "vantro_page=" + session}});
    ASSERT_TRUE(res);
    EXPECT_NE(res->body.find("Your session has ended."), std::string::npos);

    visit.signIn(kAnn, passwordOf(kAnn));
    EXPECT_NE(listed(visit).find("Signed in as"), std::string::npos);
    service->store().setPassword(ann, HashPassword("a new one"));
    EXPECT_NE(listed(visit).find("Your session has ended."), std::string::npos);
}

// TLS ended by a proxy in front: the browser speaks https.
class HttpsMessagesPageTest : public MessagesPageTest {
    void configure(ServerOptions& options) override { options.publicUrl = "https://sms.example.org"; }
};

TEST_F(HttpsMessagesPageTest, SessionCookie_overHttps_isSecure) {
    addUser(kAnn);
    PageVisit visit(*client);
    EXPECT_EQ(visit.setCookies.at(0),
              "__Host-vantro_form=" + visit.formToken() + "; Path=/; SameSite=Strict; HttpOnly; Secure");
    visit.signIn(kAnn, passwordOf(kAnn));
    const std::string session = visit.cookie("__Secure-vantro_page");
    EXPECT_EQ(session.size(), 32U);
    EXPECT_EQ(visit.setCookies.at(0),
              "__Secure-vantro_page=" + session + "; Path=/messages.aspx; SameSite=Strict; HttpOnly; Secure");
    EXPECT_NE(listed(visit).find("Signed in as"), std::string::npos);
}

TEST_F(MessagesPageTest, Forms_withoutTheFormToken_areRefused_andChangeNothing) {
    const std::int64_t ann = addUser(kAnn);
    message(ann, "4125550108", "Still here");
    PageVisit visit(*client);
    auto res = visit.post({{"step", "signin"}, {"number", kAnn}, {"password", passwordOf(kAnn)}}, false);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);
    EXPECT_NE(res->body.find("security token"), std::string::npos);
    EXPECT_EQ(visit.cookie("vantro_page"), "");

    visit.signIn(kAnn, passwordOf(kAnn));
    ASSERT_NE(visit.cookie("vantro_page"), "");
    for (const char* step : {"signout", "delete"}) {
        res = visit.post({{"step", step}, {"password", passwordOf(kAnn)}}, false);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 403) << step;
        // Nor does another page's token do: only the one of this browser's cookie.
        res = client->Post(
            "/messages.aspx", {{"Cookie", "vantro_page=" + visit.cookie("vantro_page")}},
            httplib::Params{{"step", step}, {"password", passwordOf(kAnn)}, {"form_token", std::string(64, 'a')}});
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 403) << step;
    }
    EXPECT_NE(listed(visit).find("Still here"), std::string::npos);
    EXPECT_TRUE(service->store().findUserByLogin(kAnn).has_value());
}

TEST_F(MessagesPageTest, Deletion_asksForThePassword_thenLeavesNoTextOfTheUser_andTheNumberMayRegisterAgain) {
    const std::int64_t ann = addUser(kAnn);
    const std::int64_t ben = addUser(kBen);
    ASSERT_TRUE(service->store().addFriend(ann, Friend{0, "Tom", "4125550107", "AT&T"}));
    const std::int64_t queued = message(ann, "4125550107", "Ann's queued text");
    message(ann, "4125550107", "Ann's delivered text", delivery::kDelivered);
    message(ben, "4125550107", "Ben's text");
    const std::string program =
        Answer(post("/vantro_login.aspx", lstest::LoginRequest(kAnn, passwordOf(kAnn)))->body).text("//string");
    PageVisit visit(*client);
    visit.signIn(kAnn, passwordOf(kAnn));
    auto res = visit.get("/messages.aspx?delete=true");
    ASSERT_TRUE(res);
    EXPECT_NE(res->body.find("<label for=\"password\">"), std::string::npos);

    res = visit.post({{"step", "delete"}, {"password", "wrong"}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400);
    EXPECT_NE(res->body.find("That password is not right."), std::string::npos);
    EXPECT_TRUE(service->store().findUserByLogin(kAnn).has_value());

    res = visit.post({{"step", "delete"}, {"password", passwordOf(kAnn)}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_NE(res->body.find("is deleted"), std::string::npos);
    EXPECT_EQ(visit.cookie("vantro_page"), "");
    Store& store = service->store();
    EXPECT_FALSE(store.findUserByLogin(kAnn).has_value());
    EXPECT_TRUE(store.friends(ann).empty());
    EXPECT_FALSE(store.sessionUser(program).has_value());
    for (const OutboxMessage& row : store.outbox()) {
        EXPECT_TRUE(row.userId == ben || (row.body.empty() && row.subject.empty())) << row.id;
        EXPECT_NE(row.userId, ann);
    }
    EXPECT_EQ(store.stateHistory(queued).back().state, delivery::kCancelled);
    EXPECT_TRUE(store.registerUser(kAnn, HashPassword("again")).has_value());
}

// A real advertisement set by the operator instead of the service's own.
class AdvertisedServerTest : public ServerTest {
    void configure(ServerOptions& options) override {
        options.ad = {"Pizza & more", "Order <now>", "https://pizza.example.org/?from=vantro&x=1"};
    }
};

TEST_F(AdvertisedServerTest, SendAnswer_carriesTheAdvertisementOfTheOptions) {
    const std::string user =
        Answer(post("/vantro_login.aspx", lstest::LoginRequest(kDemoLogin, kDemoPassword))->body).text("//string");
    auto res = post("/vantro_send.aspx", lstest::SendRequest(user, "0", "7245550199", "AT&T", "", "Hi"));
    ASSERT_TRUE(res);
    const Answer sent(res->body);
    EXPECT_EQ(sent.text("//send"), "Your message was sent to 7245550199.");
    EXPECT_EQ(sent.text("//ad_text"), "Pizza & more");
    EXPECT_EQ(sent.text("//ad_link"), "Order <now>");
    EXPECT_EQ(sent.text("//ad_url"), "https://pizza.example.org/?from=vantro&x=1");
}

TEST(TextSweepTest, Service_removesTheTextOfOldFinishedMessages_andThePageSaysSo) {
    std::atomic<std::int64_t> now{1'700'000'000};
    ServerOptions options;
    options.port = 0;
    options.databasePath = ":memory:";
    options.store.keepMessageDays = 7;
    options.store.clock = [&now] { return now.load(); };
    Server service(options);
    const std::int64_t ann = service.store().registerUser(kAnn, HashPassword("pw")).value();
    OutboxMessage old;
    old.userId = ann;
    old.number = "4125550107";
    old.carrier = "AT&T";
    old.body = "Old text";
    service.store().addToOutbox(old); // delivery is off: it ends "off" at once
    now += 7 * 24 * 60 * 60 + 1;
    service.start();
    // The sweep runs as the service starts; the limit only guards against a hanging test.
    for (int i = 0; i < 500 && service.store().outbox().front().body != ""; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(service.store().outbox().front().body, "");
    httplib::Client client("127.0.0.1", service.port());
    PageVisit visit(client);
    visit.signIn(kAnn, "pw");
    auto res = visit.get();
    ASSERT_TRUE(res);
    EXPECT_NE(res->body.find("<em>(text removed after 7 days)</em>"), std::string::npos);
    EXPECT_NE(res->body.find("not sent: delivery is off"), std::string::npos);
}

} // namespace
