#include "server/web/MessagesRoute.h"

#include "server/web/AccountRoute.h"
#include "server/web/Csrf.h"
#include "server/web/MessagesPage.h"

namespace server {

namespace {

constexpr std::string_view kNoNumber = "Please type your mobile number.";
constexpr std::string_view kNoPassword = "Please type your password.";
constexpr std::string_view kWrongLogin = "The number or the password is not right.";
constexpr std::string_view kWrongPassword = "That password is not right.";

std::string PauseText(std::int64_t seconds) {
    return "Too many failed sign-ins. Please try again in " + std::to_string(seconds) +
           (seconds == 1 ? " second." : " seconds.");
}

std::string SessionCookie(bool secure, std::string_view token, bool ending) {
    std::string cookie = std::string(secure ? kPageSessionSecureCookie : kPageSessionCookie) + "=" +
                         std::string(token) + "; Path=" + std::string(kMessagesPath) + "; SameSite=Strict; HttpOnly";
    if (ending) {
        cookie += "; Max-Age=0";
    }
    return secure ? cookie + "; Secure" : cookie;
}

} // namespace

// One request: its answer as it is being made, the form token, whom the session cookie names.
struct MessagesRoute::Visit {
    const http::Request& request;
    bool secure;
    http::Answer answer{200, {}, http::kHtml};
    std::string formToken;
    std::string session; // the cookie's token, as sent

    http::Answer show(const Page& page) {
        answer.status = static_cast<unsigned>(page.status);
        answer.body = page.html;
        return answer;
    }
    http::Answer page(int status, std::string_view title, const std::string& content) {
        return show({status, Html(title, content)});
    }
    void setSession(std::string_view token, bool ending) {
        answer.headers.emplace_back("Set-Cookie", SessionCookie(secure, token, ending));
    }
};

http::Answer MessagesRoute::answer(const http::Request& request, bool secureCookie) {
    Visit visit{request, secureCookie};
    AddPageHeaders(visit.answer);
    visit.session = request.cookie(secureCookie ? kPageSessionSecureCookie : kPageSessionCookie);
    const bool post = request.method() == http::Method::Post;
    if (post) {
        visit.formToken = request.cookie(CsrfCookieName(secureCookie));
        if (!CsrfTokensMatch(visit.formToken, request.formField(kCsrfFieldName))) {
            return visit.show(RefusedForm(kMessagesTitle, kMessagesPath));
        }
    } else {
        visit.formToken = FormToken(request, visit.answer, secureCookie, kMessagesPath);
    }
    FormFields form;
    for (const char* name : {"step", "number", "password"}) {
        form.emplace(name, request.formField(name));
    }
    const std::string step = post ? Field(form, "step") : std::string();
    if (step == "signin") {
        return signIn(visit, form);
    }
    const std::optional<User> user = m_store.pageSessionUser(visit.session);
    if (!user) {
        const bool ended = !visit.session.empty();
        if (ended) {
            visit.setSession("", true);
        }
        return visit.page(
            post ? 403 : 200, kMessagesTitle,
            SignInView(visit.formToken, {}, ended ? "Your session has ended. Please sign in again." : "", nullptr));
    }
    if (step == "signout") {
        m_store.endPageSession(visit.session);
        visit.setSession("", true);
        return visit.page(200, kMessagesTitle, SignInView(visit.formToken, {}, "You are signed out.", nullptr));
    }
    if (step == "delete") {
        return deleteAccount(visit, *user, form);
    }
    if (!post && request.hasQueryArgument("delete")) {
        return visit.page(200, kDeleteTitle, DeleteView(visit.formToken, nullptr));
    }
    return list(visit, *user);
}

http::Answer MessagesRoute::signIn(Visit& visit, const FormFields& form) {
    const std::string number = Field(form, "number");
    const std::string password = Field(form, "password");
    const auto refuse = [&](int status, FormError error) {
        return visit.page(status, kMessagesTitle, SignInView(visit.formToken, number, {}, &error));
    };
    if (number.empty()) {
        return refuse(400, {"number", std::string(kNoNumber)});
    }
    if (password.empty()) {
        return refuse(400, {"password", std::string(kNoPassword)});
    }
    const PasswordCheck check = m_throttle.check(number, password, visit.request.clientAddress());
    if (check.outcome == PasswordCheck::Outcome::Paused) {
        return refuse(429, {"", PauseText(check.pauseSeconds)});
    }
    if (check.outcome == PasswordCheck::Outcome::Wrong) {
        return refuse(400, {"password", std::string(kWrongLogin)});
    }
    // A session that came with the request ends: a browser holds one at a time.
    m_store.endPageSession(visit.session);
    visit.setSession(m_store.startPageSession(check.user->id), false);
    // Back to the page by GET, so that reloading it does not post the password again.
    visit.answer.status = 303;
    visit.answer.type = http::kText;
    visit.answer.body = "See " + std::string(kMessagesPath) + "\n";
    visit.answer.headers.emplace_back("Location", std::string(kMessagesPath));
    return visit.answer;
}

http::Answer MessagesRoute::deleteAccount(Visit& visit, const User& user, const FormFields& form) {
    const std::string password = Field(form, "password");
    const auto refuse = [&](int status, FormError error) {
        return visit.page(status, kDeleteTitle, DeleteView(visit.formToken, &error));
    };
    if (password.empty()) {
        return refuse(400, {"password", std::string(kNoPassword)});
    }
    // Counted as a sign-in: a stolen page session must not be a way to guess the password.
    const PasswordCheck check = m_throttle.check(user.login, password, visit.request.clientAddress());
    if (check.outcome == PasswordCheck::Outcome::Paused) {
        return refuse(429, {"", PauseText(check.pauseSeconds)});
    }
    if (check.outcome == PasswordCheck::Outcome::Wrong || check.user->id != user.id) {
        return refuse(400, {"password", std::string(kWrongPassword)});
    }
    m_store.deleteAccount(user.id);
    visit.setSession("", true);
    return visit.page(200, "Account deleted", DeletedView(user.login));
}

http::Answer MessagesRoute::list(Visit& visit, const User& user) {
    return visit.page(200, kMessagesTitle,
                      MessageListView(visit.formToken, user.login, m_store.sentMessages(user.id, kMessagesListed),
                                      m_store.settings().keepMessageDays));
}

} // namespace server
