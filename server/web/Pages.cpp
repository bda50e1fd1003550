#include "server/web/Pages.h"

#include "server/store/DemoData.h"

namespace server {

std::string Html(std::string_view title, std::string_view content) {
    std::string html = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>)";
    html += HtmlEscape(title);
    html += R"(</title>
<style>
body { font-family: sans-serif; max-width: 40em; margin: 2em auto; padding: 0 1em; color: #222; line-height: 1.4; }
h1 { color: #1d4f91; overflow-wrap: anywhere; }
p, li { overflow-wrap: anywhere; }
.message { color: #b00020; font-weight: bold; }
.notice { background: #eef3fb; border-left: 4px solid #1d4f91; padding: 0.5em 0.8em; }
form { max-width: 24em; }
label { display: block; margin-top: 0.9em; font-weight: bold; }
.hint { display: block; font-size: small; color: #555; }
input, select, button { box-sizing: border-box; width: 100%; max-width: 100%; font-size: 1rem; padding: 0.45em; margin-top: 0.2em; }
input[aria-invalid="true"], select[aria-invalid="true"] { border: 2px solid #b00020; }
button { margin-top: 1.2em; background: #1d4f91; color: #fff; border: 0; border-radius: 4px; cursor: pointer; }
a:focus, input:focus, select:focus, button:focus { outline: 3px solid #f2a900; outline-offset: 1px; }
footer { margin-top: 3em; font-size: small; color: #666; }
h2 { color: #1d4f91; margin-top: 2em; font-size: 1.2em; }
.messages { list-style: none; padding: 0; }
.messages li { border-top: 1px solid #ccc; padding: 0.5em 0; }
.messages dl { display: grid; grid-template-columns: 6.5em minmax(0, 1fr); gap: 0.2em 0.6em; margin: 0; }
.messages dt { font-weight: bold; color: #555; }
.messages dd { margin: 0; overflow-wrap: anywhere; }
</style>
</head>
<body>
<main>
<h1>)";
    html += HtmlEscape(title);
    html += "</h1>\n";
    html += content;
    html += R"(
</main>
<footer><a href="/">Vantro service</a> &middot; <a href="/messages.aspx">My messages</a> &middot; <a href="/login.aspx?regstart=true">Register</a>
&middot; <a href="/login.aspx?forgot=true">Forgot your password?</a> &middot; <a href="/vantro_updates.aspx">Updates</a></footer>
</body>
</html>
)";
    return html;
}

std::string HtmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string HomePage(bool deliveryOn, bool bySmsGateway) {
    std::string content = R"(<p>Send free text messages to mobile phones in the United States with the Vantro
program.</p>
)";
    if (deliveryOn && bySmsGateway) {
        content += R"(<p>Every message you send goes as a text message to the recipient's phone.</p>
)";
    } else if (deliveryOn) {
        content += R"(<p>Every message you send goes as an e-mail to the e-mail-to-SMS gateway of the
recipient's carrier, which passes it on as a text message.</p>
)";
    } else {
        content += R"(<p>This is a local service: it keeps its users, address books and sent messages in a small
SQLite file, and prints every message on its console instead of delivering it.</p>
<p>Try it with the demo user: login <strong>)";
        content += HtmlEscape(kDemoLogin);
        content += "</strong>, password <strong>";
        content += HtmlEscape(kDemoPassword);
        content += "</strong>.</p>\n";
    }
    content += R"(<ul>
<li><a href="/login.aspx?regstart=true">Register a new user</a></li>
<li><a href="/messages.aspx">My messages: what became of the texts you sent</a></li>
<li><a href="/login.aspx?forgot=true">Forgot your password?</a></li>
<li><a href="/vantro_updates.aspx">Updates to the Vantro program</a></li>
</ul>)";
    return Html("Vantro", content);
}

std::string UpdatesPage() {
    return Html("Vantro updates", R"(<p>You have the newest version of Vantro. There are no updates.</p>
<p>Vantro is free because of the small advertisements shown after each message you send.</p>)");
}

std::string LoginPage() {
    return Html("Log in", R"(<p>Log in with the Vantro program, using your mobile number and your password.</p>
<ul>
<li><a href="/login.aspx?regstart=true">Register a new user</a></li>
<li><a href="/login.aspx?forgot=true">Forgot your password?</a></li>
</ul>)");
}

} // namespace server
