// The web pages through a real socket: their headers, and registration and a new password by code.

#include "ServerFixture.h"

using namespace server_test;

namespace {

// One browser's visit to an account page: it keeps the form token of the page's cookie and posts
// forms back with it, as a browser does.
class FormVisit {
public:
    FormVisit(httplib::Client& client, std::string path) : m_client(client), m_path(std::move(path)) {
        auto res = m_client.Get(m_path);
        if (res) {
            page = res->body;
            cookie = res->get_header_value("Set-Cookie");
            token = cookie.substr(0, cookie.find(';'));
            name = token.substr(0, token.find('='));
            token = token.substr(token.find('=') + 1);
        }
    }
    // `sendCookie`/`sendField`: what of the token goes with the form.
    httplib::Result post(httplib::Params fields, bool sendCookie = true, bool sendField = true) {
        if (sendField) {
            fields.emplace("form_token", token);
        }
        httplib::Headers headers;
        if (sendCookie) {
            headers.emplace("Cookie", "theme=dark; " + name + "=" + token);
        }
        return m_client.Post(m_path, headers, fields);
    }
    // Verizon: a carrier whose e-mail gateway is still open.
    httplib::Result requestCode(const std::string& number, const std::string& carrier = "Verizon Wireless") {
        return post({{"step", "request"}, {"number", number}, {"carrier", carrier}});
    }
    httplib::Result confirm(const std::string& number, const std::string& code, const std::string& password,
                            const std::string& again) {
        return post({{"step", "confirm"},
                     {"number", number},
                     {"carrier", "Verizon Wireless"},
                     {"code", code},
                     {"password", password},
                     {"confirmation", again}});
    }

    std::string page, cookie, name, token;

private:
    httplib::Client& m_client;
    std::string m_path;
};

constexpr const char* kRegistration = "/login.aspx?regstart=true";
constexpr const char* kReset = "/login.aspx?forgot=true";

std::string LoginResult(httplib::Client& client, const std::string& login, const std::string& password) {
    auto res = client.Post("/vantro_login.aspx", lstest::LoginRequest(login, password), "text/xml");
    return res ? Answer(res->body).text("//result") : "no answer";
}

TEST_F(ServerTest, WebPages_areServed_andTheAccountPagesLoadNothingFromElsewhere) {
    for (const char* path : {"/", "/vantro_updates.aspx", "/login.aspx", kReset, kRegistration, "/messages.aspx"}) {
        auto res = client->Get(path);
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, 200) << path;
        EXPECT_EQ(res->get_header_value("Content-Type"), "text/html; charset=utf-8") << path;
        EXPECT_NE(res->body.find("<meta name=\"viewport\""), std::string::npos) << path;
        // Every page: never cached, never framed, nothing from elsewhere.
        EXPECT_EQ(res->get_header_value("Cache-Control"), "no-store") << path;
        EXPECT_NE(res->get_header_value("Content-Security-Policy").find("frame-ancestors 'none'"), std::string::npos)
            << path;
        EXPECT_EQ(res->get_header_value("X-Content-Type-Options"), "nosniff") << path;
        EXPECT_EQ(res->get_header_value("Referrer-Policy"), "no-referrer") << path;
    }
    // The login answer carries a session token.
    auto login = post("/vantro_login.aspx", lstest::LoginRequest(kDemoLogin, kDemoPassword));
    ASSERT_TRUE(login);
    EXPECT_EQ(login->get_header_value("Cache-Control"), "no-store");
    for (const char* path : {kReset, kRegistration}) {
        const FormVisit visit(*client, path);
        EXPECT_EQ(visit.cookie, "vantro_form=" + visit.token + "; Path=/login.aspx; SameSite=Strict; HttpOnly");
        EXPECT_EQ(visit.token.size(), 64U);
        EXPECT_NE(visit.page.find("name=\"form_token\" value=\"" + visit.token + "\""), std::string::npos);
        EXPECT_NE(visit.page.find("<label for=\"number\">"), std::string::npos);
        EXPECT_NE(visit.page.find("<option value=\"AT&amp;T\">AT&amp;T</option>"), std::string::npos);
        for (const char* outside : {"<script", "://", "@import", "url("}) {
            EXPECT_EQ(visit.page.find(outside), std::string::npos) << path << " " << outside;
        }
    }
    // A browser that has a valid token keeps it.
    const FormVisit first(*client, kRegistration);
    auto res = client->Get(kReset, {{"Cookie", "vantro_form=" + first.token}});
    ASSERT_TRUE(res);
    EXPECT_FALSE(res->has_header("Set-Cookie"));
    EXPECT_NE(res->body.find(first.token), std::string::npos);
    EXPECT_NE(res->get_header_value("Content-Security-Policy").find("default-src 'none'"), std::string::npos);
}

// TLS ended by a proxy in front: the browser speaks https, so the form cookie is the secure one.
class ProxiedHttpsServerTest : public ServerTest {
    void configure(ServerOptions& options) override { options.publicUrl = "https://sms.example.org"; }
};

TEST_F(ProxiedHttpsServerTest, FormCookie_isSecure_andHostOnly) {
    FormVisit visit(*client, kRegistration);
    EXPECT_EQ(visit.cookie, "__Host-vantro_form=" + visit.token + "; Path=/; SameSite=Strict; HttpOnly; Secure");
    auto res = visit.requestCode("712555010");
    ASSERT_TRUE(res);
    EXPECT_NE(res->body.find(HtmlEscape("Phone number must be 10 digit numeric.")), std::string::npos);
    // The plain name planted beside it is not taken for the secure one.
    auto planted = client->Post(kRegistration, {{"Cookie", "vantro_form=" + visit.token}},
                                httplib::Params{{"form_token", visit.token}, {"step", "request"}});
    ASSERT_TRUE(planted);
    EXPECT_EQ(planted->body.find(HtmlEscape("Phone number must be 10 digit numeric.")), std::string::npos);
}

TEST_F(ServerTest, Registration_needsTheCodeFromTheConsole_withoutDelivery) {
    FormVisit visit(*client, kRegistration);
    struct Refusal {
        std::string number, carrier;
        const char* sentence;
    };
    const Refusal refusals[] = {
        {"712555010", "AT&T", "Phone number must be 10 digit numeric."},
        {"712555010x", "AT&T", "Phone number must be 10 digit numeric."},
        {"", "AT&T", "Phone number must be 10 digit numeric."},
        {"0125550100", "AT&T", "We do not support those types of numbers.  United States Only."},
        {"1125550100", "AT&T", "We do not support those types of numbers.  United States Only."},
        {"7125550100", "", "Please choose your carrier from the list."},
        {"7125550100", "Acme Mobile", "Please choose your carrier from the list."},
    };
    for (const Refusal& r : refusals) {
        auto res = visit.requestCode(r.number, r.carrier);
        ASSERT_TRUE(res) << r.number;
        EXPECT_EQ(res->status, 400) << r.number << " " << r.carrier;
        EXPECT_NE(res->body.find(HtmlEscape(r.sentence)), std::string::npos) << r.number << " " << r.carrier;
        EXPECT_NE(res->body.find("role=\"alert\""), std::string::npos);
    }
    // What the person typed comes back escaped.
    auto res = visit.requestCode("<b>x</b>\"");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body.find("<b>x</b>"), std::string::npos);
    EXPECT_NE(res->body.find("value=\"&lt;b&gt;x&lt;/b&gt;&quot;\""), std::string::npos);

    res = visit.requestCode("7125550100");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_NE(res->body.find("printed on the service&#39;s console"), std::string::npos);
    std::string code;
    {
        std::lock_guard lock(mutex);
        const std::string prefix = "Verification code for 7125550100: ";
        const auto lines = CodeLines();
        ASSERT_EQ(lines.size(), 1U);
        ASSERT_EQ(lines[0].rfind(prefix, 0), 0U) << lines[0];
        code = lines[0].substr(prefix.size(), 6);
    }
    const std::string wrong = code == "000000" ? "000001" : "000000";
    struct Confirmation {
        std::string code, password, again;
        int status;
        const char* sentence;
    };
    const Confirmation confirmations[] = {
        {code, "password", "passworD", 400, "The two passwords differ. Please type the same password twice."},
        {code, "", "", 400, "Please choose a password."},
        {code, " pw", " pw", 400, "A password cannot begin or end with a space."},
        {code, "7 chars", "7 chars", 400, "A password needs at least 8 characters."},
        {code, "\u00e9t\u00e9 pw", "\u00e9t\u00e9 pw", 400, "A password needs at least 8 characters."}, // 8 bytes
        {wrong, "p&ss<word>", "p&ss<word>", 400, "That code is not right. You have 4 tries left."},
        {code, "p&ss<word>", "p&ss<word>", 200, "You are registered with the login"},
    };
    for (const Confirmation& c : confirmations) {
        EXPECT_FALSE(service->store().findUserByLogin("7125550100").has_value());
        res = visit.confirm("7125550100", c.code, c.password, c.again);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, c.status) << c.sentence;
        EXPECT_NE(res->body.find(c.sentence), std::string::npos) << c.sentence;
        if (c.status == 400) { // the form again, saying what a password needs
            EXPECT_NE(res->body.find("At least 8 characters."), std::string::npos) << c.sentence;
        }
    }
    // The program sends that password unescaped, in an ill-formed document.
    EXPECT_EQ(LoginResult(*client, "7125550100", "p&ss<word>"), "TRUE");
    // The code served once.
    res = visit.confirm("7125550100", code, "other pw", "other pw");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400);
    EXPECT_EQ(LoginResult(*client, "7125550100", "other pw"), "FALSE");
}

TEST_F(ServerTest, FormsWithoutTheirToken_areRefused) {
    FormVisit visit(*client, kRegistration);
    const FormVisit other(*client, kRegistration);
    struct Case {
        const char* name;
        bool cookie, field;
        std::string fieldValue;
    };
    const Case cases[] = {
        {"no token at all", false, false, ""}, {"no cookie", false, true, visit.token},
        {"no field", true, false, ""},         {"another browser's token", true, true, other.token},
        {"an empty token", true, true, ""},
    };
    for (const Case& c : cases) {
        httplib::Params fields{{"step", "request"}, {"number", "7125550100"}, {"carrier", "AT&T"}};
        if (c.field) {
            fields.emplace("form_token", c.fieldValue);
        }
        auto res = visit.post(fields, c.cookie, false);
        ASSERT_TRUE(res) << c.name;
        EXPECT_EQ(res->status, 403) << c.name;
        EXPECT_NE(res->body.find("security token"), std::string::npos) << c.name;
    }
    std::lock_guard lock(mutex);
    EXPECT_TRUE(CodeLines().empty()) << "no code was made";
}

// With delivery on: the codes go out as texts, never to the console.
class DeliveringServerTest : public ServerTest {
protected:
    void configure(ServerOptions& options) override {
        // All requests come from one address here; its limit is not what these tests are about.
        options.verificationLimits.addressRequestsPerHour = 100;
        options.verificationLimits.addressRequestsPerDay = 100;
        SmtpSettings smtp;
        smtp.url = sink.url();
        smtp.from = "codes@vantro.example";
        smtp.insecure = true;
        options.smtp = smtp;
    }

    // The outbox's code rows once the worker has settled them all (a guard, not a measurement).
    std::vector<OutboxMessage> settledCodes() {
        for (int i = 0; i < 1000; ++i) {
            std::vector<OutboxMessage> codes;
            bool settled = true;
            for (OutboxMessage& message : service->store().outbox()) {
                if (message.userId == 0) {
                    settled = settled && message.state != "queued";
                    codes.push_back(std::move(message));
                }
            }
            if (settled) {
                return codes;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return {};
    }

    smtpsink::SmtpSink sink;
};

TEST_F(DeliveringServerTest, PasswordReset_answersAlikeForAnyNumber_andSetsTheNewPassword) {
    FormVisit visit(*client, kReset);
    const std::string unregistered = "7125550199";
    const std::string registered(kDemoLogin);
    std::vector<std::string> answers;
    for (int round = 0; round < 4; ++round) {
        for (const std::string& number : {registered, unregistered}) {
            auto res = visit.requestCode(number);
            ASSERT_TRUE(res);
            std::string body = res->body;
            for (std::size_t at; (at = body.find(number)) != std::string::npos;) {
                body.replace(at, number.size(), "NUMBER");
            }
            answers.push_back(std::to_string(res->status) + body);
        }
        if (round == 0) {
            EXPECT_NE(answers.back().find("we have texted a 6-digit code"), std::string::npos) << answers.back();
        }
    }
    for (std::size_t i = 0; i + 1 < answers.size(); i += 2) {
        EXPECT_EQ(answers[i], answers[i + 1]) << "round " << i / 2;
    }
    // The 4th code in an hour.
    EXPECT_EQ(answers.back().substr(0, 3), "429");
    EXPECT_NE(answers.back().find("Please wait an hour and try again."), std::string::npos);

    ASSERT_TRUE(sink.waitForAccepted(3));
    const std::vector<smtpsink::Transaction> mails = sink.accepted();
    ASSERT_EQ(mails.size(), 3U) << "only the registered number's codes were texted, one per accepted request";
    EXPECT_EQ(mails.back().recipients, std::vector<std::string>{registered + "@vtext.com"});
    const std::string intro = "Your Vantro code is ";
    const std::size_t at = mails.back().data.find(intro);
    ASSERT_NE(at, std::string::npos) << mails.back().data;
    const std::string code = mails.back().data.substr(at + intro.size(), 6);
    EXPECT_NE(mails.back().data.find(intro + code + ". It is valid for 10 minutes."), std::string::npos);
    // Once sent, no code text stays in the outbox, nor went to the console.
    const std::vector<OutboxMessage> codes = settledCodes();
    ASSERT_EQ(codes.size(), 3U);
    for (const OutboxMessage& message : codes) {
        EXPECT_EQ(message.state, "accepted");
        EXPECT_EQ(message.body, "");
        EXPECT_EQ(message.subject, "Vantro code");
    }
    {
        std::lock_guard lock(mutex);
        for (const std::string& line : console) {
            EXPECT_EQ(line.find(code), std::string::npos) << line;
        }
    }
    // A session of the demo user, from before the reset.
    auto login = client->Post("/vantro_login.aspx", lstest::LoginRequest(registered, kDemoPassword), "text/xml");
    ASSERT_TRUE(login);
    const std::string oldToken = Answer(login->body).text("//string");
    const auto addressBook = [&](const std::string& token) {
        auto res = client->Post("/vantro_ab.aspx", lstest::AddressBookRequest(token), "text/xml");
        return res ? Answer(res->body).text("//result") : "no answer";
    };
    ASSERT_EQ(addressBook(oldToken), "TRUE");

    // A guess for the unregistered number answers like a wrong code.
    auto res = visit.confirm(unregistered, code, "new password", "new password");
    ASSERT_TRUE(res);
    EXPECT_NE(res->body.find("That code is not right. You have 4 tries left."), std::string::npos);

    res = visit.confirm(registered, code, "new password", "new password");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_NE(res->body.find("Your password is changed."), std::string::npos);
    EXPECT_EQ(LoginResult(*client, registered, "new password"), "TRUE");
    EXPECT_EQ(LoginResult(*client, registered, std::string(kDemoPassword)), "FALSE");
    // The new password ended every session of the old one.
    EXPECT_EQ(addressBook(oldToken), "FALSE");
}

} // namespace
