#pragma once

// "/messages.aspx": signing in and out, the list, and deleting the account. Sign-in goes through
// the same password check and login pauses as the program's login. The page's session is a cookie
// of its own (HttpOnly, SameSite=Strict, Secure over HTTPS, sent only to this page); every form
// carries a form token that must equal the one in the browser's cookie.

#include "server/exchanges/LoginThrottle.h"
#include "server/http/Answer.h"
#include "server/http/Request.h"
#include "server/store/Store.h"
#include "server/web/Forms.h"

#include <optional>
#include <string>
#include <string_view>

namespace server {

inline constexpr std::string_view kPageSessionCookie = "vantro_page";
// Over HTTPS: a browser takes a cookie of this name only when it is Secure.
inline constexpr std::string_view kPageSessionSecureCookie = "__Secure-vantro_page";

class MessagesRoute {
public:
    MessagesRoute(Store& store, ThrottleSettings throttle) : m_store(store), m_throttle(store, throttle) {}

    // `secureCookie`: the page is reached over HTTPS.
    http::Answer answer(const http::Request& request, bool secureCookie);

private:
    struct Visit;
    http::Answer signIn(Visit& visit, const FormFields& form);
    http::Answer deleteAccount(Visit& visit, const User& user, const FormFields& form);
    http::Answer list(Visit& visit, const User& user);

    Store& m_store;
    LoginThrottle m_throttle;
};

} // namespace server
