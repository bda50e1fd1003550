#pragma once

// "/login.aspx": the plain login page, and the registration and new-password pages, whose forms
// carry a form token that must equal the one in the browser's cookie.

#include "server/http/Answer.h"
#include "server/http/Request.h"
#include "server/web/AccountPages.h"

namespace server {

// The headers of every HTML page: never cached (forms carry a form token), never framed, and
// nothing loaded from elsewhere, not even by a script slipped into a page.
void AddPageHeaders(http::Answer& answer);

// The form token of the browser's cookie for the page at `path`; a new one, handed over with the
// answer, when the browser has none.
std::string FormToken(const http::Request& request, http::Answer& answer, bool secureCookie, std::string_view path);

// `secureCookie`: the pages are reached over HTTPS, so the form token's cookie never travels in
// the clear.
http::Answer AnswerAccountPage(AccountPages& accounts, const http::Request& request, bool secureCookie);

} // namespace server
