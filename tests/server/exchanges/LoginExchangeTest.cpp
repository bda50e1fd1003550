// The login exchange: tokens, passwords read as typed, refusals, and the pauses that hold off guessing.

#include "ExchangesFixture.h"

using namespace exchanges_test;

namespace {

TEST_F(ExchangesTest, Login_demoUser_getsANewUnguessableTokenEachTime) {
    const std::string text = exchanges.login(lstest::LoginRequest(kDemoLogin, kDemoPassword), "127.0.0.1");
    const std::string token = Answer(text).text("//string");
    EXPECT_EQ(text, "<login><result>TRUE</result><string>" + token + "</string></login>");
    EXPECT_EQ(token.size(), 32U);
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos) << token;
    EXPECT_NE(token, kUser);
    // Both sessions live side by side.
    EXPECT_EQ(book(token), book(kUser));
    EXPECT_EQ(book(token).size(), kDemoFriends.size());
}

TEST_F(ExchangesTest, Login_passwordsThatBreakTheXml_areReadAsTyped) {
    // The client sends the password unescaped: all but the last two bodies are ill-formed.
    int n = 10;
    for (const std::string password : {"a&b", "x<y", "<&>", "p&amp", "</Password>tricky", "x&amp;y", "plain"}) {
        const std::string login = "71255501" + std::to_string(n++);
        ASSERT_TRUE(store.registerUser(login, HashPassword(password)));
        const Answer accepted(exchanges.login(lstest::LoginRequest(login, password), "127.0.0.1"));
        EXPECT_EQ(accepted.text("//result"), "TRUE") << password;
        EXPECT_TRUE(book(accepted.text("//string")).empty()) << password;
        // From an address of its own: failures from one address add up across logins.
        EXPECT_EQ(Answer(exchanges.login(lstest::LoginRequest(login, password + "!"), "192.0.2." + std::to_string(n)))
                      .text("//result"),
                  "FALSE");
    }
    // A well-formed document in another layout is read as XML.
    const Answer asXml(exchanges.login(
        "<QVRLogin>\n  <Password>a&amp;b</Password>\n  <Login>7125550110</Login>\n</QVRLogin>", "127.0.0.1"));
    EXPECT_EQ(asXml.text("//result"), "TRUE");
}

TEST_F(ExchangesTest, Login_badRequests_areRefused) {
    const Cases cases = {
        {lstest::LoginRequest(kDemoLogin, "wrong"), "Invalid login or password."},
        {lstest::LoginRequest(kDemoLogin, "DEMO"), "Invalid login or password."},
        {lstest::LoginRequest("4125550000", "demo"), "Invalid login or password."},
        {lstest::LoginRequest("", "demo"), "Please enter your login and password."},
        {lstest::LoginRequest(kDemoLogin, ""), "Please enter your login and password."},
        {"<QVRLogin><Login/><Password/></QVRLogin>", "Please enter your login and password."},
        {"", "The request could not be read."},
        {"hello", "The request could not be read."},
        {"<QVRLogin>    <Login>4125551212</Login>", "The request could not be read."},
        {"<QVRLogin>    <Password>demo</Password></QVRLogin>", "The request could not be read."},
        {LoginRequestOfSize(kMaxRequestBytes), "Invalid login or password."}, // the limit itself is allowed
        {LoginRequestOfSize(kMaxRequestBytes + 1), "The request is too large."},
        // Read two ways, a login that names the demo user as XML but not as typed.
        {lstest::LoginRequest("4125551212<!--x-->", "demo"), "Invalid login or password."},
        {lstest::LoginRequest("<![CDATA[4125551212]]>", "demo"), "Invalid login or password."},
    };
    int address = 0;
    for (const auto& [body, reason] : cases) {
        // Each from an address of its own, so that no case is paused by the failures before it.
        const Answer answer(exchanges.login(body, "192.0.2." + std::to_string(++address)));
        EXPECT_EQ(answer.text("//result"), "FALSE") << body.substr(0, 100);
        EXPECT_EQ(answer.text("//string"), "Login Failed: " + reason) << body.substr(0, 100);
    }
}

TEST_F(ExchangesTest, Login_afterFailures_isPausedPerLoginAndPerAddress) {
    std::int64_t now = 1'700'000'000;
    Store timed(":memory:", {.clock = [&now] { return now; }});
    Exchanges service(timed,
                      {.publicUrl = {},
                       .console = {},
                       .throttle = {.failuresBeforePause = 5, .firstPauseSeconds = 30, .longestPauseSeconds = 900}});
    ASSERT_TRUE(timed.registerUser("7125550100", HashPassword("pw")));
    const auto attempt = [&](std::string_view login, std::string_view password, std::string_view address) {
        return Answer(service.login(lstest::LoginRequest(login, password), address)).text("//string");
    };
    const std::string wrong = "Login Failed: Invalid login or password.";
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(attempt(kDemoLogin, "guess", "192.0.2.1"), wrong) << i;
    }
    // The 6th attempt is refused before its password is looked at, from any address.
    EXPECT_EQ(attempt(kDemoLogin, kDemoPassword, "192.0.2.1"),
              "Login Failed: Too many failed logins. Please try again in 30 seconds.");
    now += 10;
    EXPECT_EQ(attempt(kDemoLogin, kDemoPassword, "192.0.2.2"),
              "Login Failed: Too many failed logins. Please try again in 20 seconds.");
    // The address is paused too, for every login; another address and login are not.
    EXPECT_EQ(attempt("7125550100", "pw", "192.0.2.1"),
              "Login Failed: Too many failed logins. Please try again in 20 seconds.");
    EXPECT_EQ(attempt("7125550100", "pw", "192.0.2.3").size(), 32U);

    // After the pause one more try; failing again doubles the pause.
    now += 20;
    EXPECT_EQ(attempt(kDemoLogin, "guess", "192.0.2.1"), wrong);
    EXPECT_EQ(attempt(kDemoLogin, kDemoPassword, "192.0.2.4"),
              "Login Failed: Too many failed logins. Please try again in 60 seconds.");
    // Each further failure after a pause doubles it up to the longest; it never falls back.
    std::int64_t pause = 60;
    for (const char* next : {"120", "240", "480", "900", "900"}) {
        now += pause;
        EXPECT_EQ(attempt(kDemoLogin, "guess", "192.0.2.5"), wrong) << next;
        EXPECT_EQ(attempt(kDemoLogin, kDemoPassword, "192.0.2.6"),
                  std::string("Login Failed: Too many failed logins. Please try again in ") + next + " seconds.");
        pause = std::stoll(next);
    }
    now += pause;
    // A success ends the login's run of failures, not the address's.
    EXPECT_EQ(attempt(kDemoLogin, kDemoPassword, "192.0.2.5").size(), 32U);
    EXPECT_EQ(attempt(kDemoLogin, "guess", "192.0.2.5"), wrong);
    EXPECT_EQ(attempt(kDemoLogin, kDemoPassword, "192.0.2.7").size(), 32U);
    EXPECT_EQ(attempt(kDemoLogin, kDemoPassword, "192.0.2.5"),
              "Login Failed: Too many failed logins. Please try again in 60 seconds.");
}

TEST_F(ExchangesTest, Login_guessesAreCountedUnderTheUserTheStoreMatched_whateverNamedIt) {
    std::int64_t now = 1'700'000'000;
    Store timed(":memory:", {.clock = [&now] { return now; }});
    Exchanges service(timed, {.publicUrl = {}, .console = {}, .throttle = {.failuresBeforePause = 5}});
    ASSERT_TRUE(timed.registerUser("7125550142", HashPassword("secret")));
    const auto attempt = [&](std::string_view login, std::string_view password, std::string_view address) {
        return Answer(service.login(lstest::LoginRequest(login, password), address)).text("//string");
    };
    const std::string wrong = "Login Failed: Invalid login or password.";
    const std::string paused = "Login Failed: Too many failed logins. Please try again in 2 seconds.";

    // One guess at each of many logins, with the public demo login in between: the address's
    // count is not wiped by the successes.
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(attempt("71255500" + std::to_string(10 + i), "guess", "192.0.2.1"), wrong) << i;
        EXPECT_EQ(attempt(kDemoLogin, kDemoPassword, "192.0.2.1").size(), i < 4 ? 32U : paused.size()) << i;
    }

    // A login disguised with a comment or CDATA reaches the same user: even with the right
    // password it is refused, and counted under that user.
    const std::vector<std::string> disguises = {"7125550142<!--x-->",     "<![CDATA[7125550142]]>", "7125550142<!---->",
                                                "<![CDATA[712555]]>0142", "7125550142<!--x-->",     "7125550142"};
    for (std::size_t i = 0; i < disguises.size(); ++i) {
        EXPECT_EQ(attempt(disguises[i], "secret", "192.0.2." + std::to_string(10 + i)), i < 5 ? wrong : paused)
            << disguises[i];
    }
    now += 2;
    EXPECT_EQ(attempt("7125550142", "secret", "192.0.2.30").size(), 32U);
}

// Service processes sharing a store share the runs of failed logins: a guesser gains nothing by
// taking turns between them, nor by a restart.
TEST_F(ExchangesTest, Login_failuresThroughOneService_pauseTheOthersOnTheSameStore) {
    std::int64_t now = 1'700'000'000;
    const ThrottleSettings throttle{.failuresBeforePause = 5, .firstPauseSeconds = 30, .longestPauseSeconds = 900};
    lstest::TempDir dir;
    const std::string path = dir.file("store.db");
    Store first(path, {.clock = [&now] { return now; }});
    Store second(path, {.clock = [&now] { return now; }});
    Exchanges one(first, {.publicUrl = {}, .console = {}, .throttle = throttle});
    Exchanges other(second, {.publicUrl = {}, .console = {}, .throttle = throttle});
    const auto attempt = [](Exchanges& service, std::string_view login, std::string_view password,
                            std::string_view address) {
        return Answer(service.login(lstest::LoginRequest(login, password), address)).text("//string");
    };
    const std::string wrong = "Login Failed: Invalid login or password.";
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(attempt(i % 2 == 0 ? one : other, kDemoLogin, "guess", "192.0.2.1"), wrong) << i;
    }
    const std::string paused = "Login Failed: Too many failed logins. Please try again in 30 seconds.";
    EXPECT_EQ(attempt(other, kDemoLogin, kDemoPassword, "192.0.2.2"), paused);
    EXPECT_EQ(attempt(one, kDemoLogin, kDemoPassword, "192.0.2.3"), paused);
    {
        Store restarted(path, {.clock = [&now] { return now; }});
        Exchanges again(restarted, {.publicUrl = {}, .console = {}, .throttle = throttle});
        EXPECT_EQ(attempt(again, kDemoLogin, kDemoPassword, "192.0.2.4"), paused);
    }
    now += 30;
    // A success through one ends the login's run for the other too: one more failure pauses
    // nothing.
    EXPECT_EQ(attempt(one, kDemoLogin, kDemoPassword, "192.0.2.5").size(), 32U);
    EXPECT_EQ(attempt(other, kDemoLogin, "guess", "192.0.2.5"), wrong);
    EXPECT_EQ(attempt(other, kDemoLogin, kDemoPassword, "192.0.2.5").size(), 32U);
}

} // namespace
