#include "server/web/AccountRoute.h"

#include "server/web/Csrf.h"
#include "server/web/Pages.h"

namespace server {

void AddPageHeaders(http::Answer& answer) {
    answer.headers.emplace_back("Cache-Control", "no-store");
    answer.headers.emplace_back("Content-Security-Policy",
                                "default-src 'none'; style-src 'unsafe-inline'; "
                                "form-action 'self'; frame-ancestors 'none'; base-uri 'none'");
    answer.headers.emplace_back("X-Content-Type-Options", "nosniff");
    answer.headers.emplace_back("Referrer-Policy", "no-referrer");
}

std::string FormToken(const http::Request& request, http::Answer& answer, bool secureCookie, std::string_view path) {
    std::string token = request.cookie(CsrfCookieName(secureCookie));
    if (!IsCsrfToken(token)) {
        token = NewCsrfToken();
        answer.headers.emplace_back("Set-Cookie", CsrfCookieHeader(token, secureCookie, path));
    }
    return token;
}

http::Answer AnswerAccountPage(AccountPages& accounts, const http::Request& request, bool secureCookie) {
    const bool registration = request.hasQueryArgument("regstart");
    const bool reset = request.hasQueryArgument("forgot");
    const bool post = request.method() == http::Method::Post;
    if (!registration && !reset) {
        if (post) {
            return http::PlainError(404, "404 Not Found");
        }
        http::Answer page{200, LoginPage(), http::kHtml};
        AddPageHeaders(page);
        return page;
    }
    http::Answer answer{200, {}, http::kHtml};
    AddPageHeaders(answer);
    const auto fill = [&answer](const Page& page) {
        answer.status = static_cast<unsigned>(page.status);
        answer.body = page.html;
        return answer;
    };
    if (!post) {
        const std::string token = FormToken(request, answer, secureCookie, "/login.aspx");
        return fill(registration ? accounts.registrationForm(token) : accounts.passwordResetForm(token));
    }
    const std::string token = request.cookie(CsrfCookieName(secureCookie));
    if (!CsrfTokensMatch(token, request.formField(kCsrfFieldName))) {
        return fill(AccountPages::refusedForm(registration));
    }
    FormFields form;
    for (const char* name : {"step", "number", "carrier", "code", "password", "confirmation"}) {
        form.emplace(name, request.formField(name));
    }
    const std::string address = request.clientAddress();
    return fill(registration ? accounts.postRegistration(form, address, token)
                             : accounts.postPasswordReset(form, address, token));
}

} // namespace server
