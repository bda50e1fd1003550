#include "Pages.h"

#include "DemoData.h"
#include "Passwords.h"
#include "Protocol.h"

namespace server {

namespace {

std::string Html(std::string_view title, std::string_view content) {
    std::string html = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>)";
    html += HtmlEscape(title);
    html += R"(</title>
<style>
body { font-family: sans-serif; max-width: 40em; margin: 2em auto; padding: 0 1em; color: #222; }
h1 { color: #1d4f91; }
.message { color: #b00020; font-weight: bold; }
label { display: block; margin-top: 0.8em; }
footer { margin-top: 3em; font-size: small; color: #666; }
</style>
</head>
<body>
<h1>)";
    html += HtmlEscape(title);
    html += "</h1>\n";
    html += content;
    html += R"(
<footer><a href="/">Vantro service</a> &middot; <a href="/login.aspx?regstart=true">Register</a>
&middot; <a href="/vantro_updates.aspx">Updates</a></footer>
</body>
</html>
)";
    return html;
}

} // namespace

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

std::string HomePage(bool deliveryOn) {
    std::string content = R"(<p>Send free text messages to mobile phones in the United States with the Vantro
program.</p>
)";
    if (deliveryOn) {
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
<li><a href="/login.aspx?forgot=true">Forgot your password?</a></li>
<li><a href="/vantro_updates.aspx">Updates to the Vantro program</a></li>
</ul>)";
    return Html("Vantro", content);
}

std::string UpdatesPage() {
    return Html("Vantro updates", R"(<p>You have the newest version of Vantro. There are no updates.</p>
<p>Vantro is free because of the small advertisements shown after each message you send.</p>)");
}

std::string ForgotPasswordPage() {
    std::string content = R"(<p>The local service sends no e-mail, so it cannot send you your password.</p>
<p>Register again under another login, or stop the service and delete its store file to start
afresh with only the demo user (login )";
    content += HtmlEscape(kDemoLogin);
    content += ", password ";
    content += HtmlEscape(kDemoPassword);
    content += ").</p>";
    return Html("Forgot your password?", content);
}

std::string LoginPage() {
    return Html("Log in", R"(<p>Log in with the Vantro program, using your mobile number and your password.</p>
<ul>
<li><a href="/login.aspx?regstart=true">Register a new user</a></li>
<li><a href="/login.aspx?forgot=true">Forgot your password?</a></li>
</ul>)");
}

std::string RegistrationPage(std::string_view message, std::string_view login) {
    std::string content;
    if (!message.empty()) {
        content += "<p class=\"message\">" + HtmlEscape(message) + "</p>\n";
    }
    content += R"(<p>Your login is your 10-digit US mobile number.</p>
<form method="post" action="/login.aspx?regstart=true">
<label>Mobile number (login) <input name="login" maxlength="10" inputmode="numeric" value=")";
    content += HtmlEscape(login);
    content += R"("></label>
<label>Password <input name="password" type="password"></label>
<label>Password again <input name="confirmation" type="password"></label>
<p><button type="submit">Register</button></p>
</form>)";
    return Html("Register", content);
}

Page Register(Store& store, std::string_view login, std::string_view password, std::string_view confirmation) {
    if (!IsValidPhoneNumber(login)) {
        return {400, RegistrationPage("The login must be a 10-digit US mobile number that does not start with 0 or 1, "
                                      "digits only.",
                                      login)};
    }
    if (password.empty()) {
        return {400, RegistrationPage("Please choose a password.", login)};
    }
    if (password.front() == ' ' || password.back() == ' ') {
        // The client trims spaces from both ends before it sends a password.
        return {400, RegistrationPage("A password cannot begin or end with a space.", login)};
    }
    if (password != confirmation) {
        return {400, RegistrationPage("The two passwords differ. Please type the same password twice.", login)};
    }
    const auto id = store.registerUser(login, HashPassword(password));
    if (!id) {
        return {409, RegistrationPage("The login " + std::string(login) +
                                          " is already registered. Did you forget your password?",
                                      login)};
    }
    std::string content = "<p>Welcome! You are registered with the login <strong>" + HtmlEscape(login) +
                          "</strong>.</p>\n<p>Log in with the Vantro program using this login and your password.</p>";
    return {200, Html("Registered", content)};
}

} // namespace server
