#pragma once

// The few web pages the client opens in the browser, plain HTML.

#include <string>
#include <string_view>

namespace server {

struct Page {
    int status = 200;
    std::string html;
};

// With delivery on, the page neither offers the demo user nor says that messages stay on the
// console.
// `bySmsGateway`: delivery goes through an SMS gateway rather than the carriers' e-mail gateways.
std::string HomePage(bool deliveryOn = false, bool bySmsGateway = false);
// "/vantro_updates.aspx"; also the advertisement's page.
std::string UpdatesPage();
// "/login.aspx" without a known query.
std::string LoginPage();

// A whole page of the service's look: `title` as the heading, `content` (HTML) below it.
std::string Html(std::string_view title, std::string_view content);

// & < > " ' as character references.
std::string HtmlEscape(std::string_view text);

} // namespace server
