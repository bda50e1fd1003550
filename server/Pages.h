#pragma once

// The few web pages the client opens in the browser, plain HTML.

#include "Store.h"

#include <string>
#include <string_view>

namespace server {

struct Page {
    int status = 200;
    std::string html;
};

// With delivery on, the page neither offers the demo user nor says that messages stay on the
// console.
std::string HomePage(bool deliveryOn = false);
// "/vantro_updates.aspx"; also the advertisement's page.
std::string UpdatesPage();
// "/login.aspx?forgot=true"
std::string ForgotPasswordPage();
// "/login.aspx" without a known query.
std::string LoginPage();
// "/login.aspx?regstart=true": a form that posts back to the same address. `message` (plain
// text) is shown above the form; `login` prefills the login field.
std::string RegistrationPage(std::string_view message = {}, std::string_view login = {});
// The form posted back: registers the user, or refuses a malformed login (400), a password the
// client could not send (400) or a taken login (409) with the form and a readable message.
Page Register(Store& store, std::string_view login, std::string_view password, std::string_view confirmation);

// & < > " ' as character references.
std::string HtmlEscape(std::string_view text);

} // namespace server
