#pragma once

// Protection of the web forms against requests forged by other sites: each form carries a random
// token that must equal the one in a cookie that only this site's pages can have caused. The
// cookie is SameSite=Strict, so a browser does not even send it with another site's request.

#include <string>
#include <string_view>

namespace server {

inline constexpr std::string_view kCsrfCookieName = "vantro_form";
// Over HTTPS: a browser takes a cookie of this name only from this very host over HTTPS, with
// Path=/ and no Domain, so that a neighbouring subdomain cannot plant a token of its choosing.
inline constexpr std::string_view kCsrfSecureCookieName = "__Host-vantro_form";
inline constexpr std::string_view kCsrfFieldName = "form_token";

// 32 random bytes as 64 lowercase hex digits.
std::string NewCsrfToken();
// True for a text that NewCsrfToken could have made.
bool IsCsrfToken(std::string_view text);
// The Set-Cookie value that hands `token` to the browser; `secure` when the pages are served
// over HTTPS, so that the cookie never travels in the clear. Over plain HTTP the cookie goes only
// to `path`, the page whose forms carry the token.
std::string CsrfCookieHeader(const std::string& token, bool secure = false, std::string_view path = "/login.aspx");
// The cookie's name: kCsrfSecureCookieName when `secure`.
std::string_view CsrfCookieName(bool secure);
// The form's token equals the cookie's, compared in constant time; both must be well-formed.
bool CsrfTokensMatch(std::string_view cookieToken, std::string_view formToken);

} // namespace server
