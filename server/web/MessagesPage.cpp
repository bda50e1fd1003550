#include "server/web/MessagesPage.h"

#include "server/delivery/DeliveryQueue.h"

namespace server {

namespace {

// The part of a message's body the list shows, in characters as a person counts them.
constexpr std::size_t kBodyCharacters = 60;

// "2024-01-02 03:04:05 UTC" for a time the store wrote, with or without milliseconds.
std::string ShownTime(std::string_view utc) {
    if (utc.size() < 19) {
        return std::string(utc);
    }
    std::string text(utc.substr(0, 19));
    text[10] = ' ';
    return text + " UTC";
}

// The first `count` characters of UTF-8 text, and "…" when there was more.
std::string Beginning(std::string_view text, std::size_t count) {
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0U) != 0x80U && characters++ == count) {
            return std::string(text.substr(0, i)) + "\u2026";
        }
    }
    return std::string(text);
}

std::string MessageText(const SentMessage& message, int keepDays) {
    if (message.body.empty() && message.subject.empty()) {
        return "<em>(text removed after " + std::to_string(keepDays) + (keepDays == 1 ? " day)" : " days)") + "</em>";
    }
    std::string html;
    if (!message.subject.empty()) {
        html = "<strong>" + HtmlEscape(message.subject) + "</strong> ";
    }
    return html + HtmlEscape(Beginning(message.body, kBodyCharacters));
}

std::string MessageItem(const SentMessage& message, int keepDays) {
    const std::string to = message.friendName.empty() ? message.number : message.friendName;
    return "<li><dl>\n<dt>Sent (UTC)</dt><dd><time datetime=\"" + HtmlEscape(message.sentAt) + "\">" +
           HtmlEscape(ShownTime(message.sentAt)) + "</time></dd>\n<dt>To</dt><dd>" + HtmlEscape(to) +
           "</dd>\n<dt>Text</dt><dd>" + MessageText(message, keepDays) + "</dd>\n<dt>State</dt><dd class=\"state\">" +
           HtmlEscape(StateWords(message)) + "</dd>\n</dl></li>\n";
}

} // namespace

std::string StateWords(const SentMessage& message) {
    const std::string_view state = message.state;
    if (state == delivery::kQueued) {
        return message.nextAttempt.empty() ? "waiting to be sent"
                                           : "waiting to be sent (next attempt " + ShownTime(message.nextAttempt) + ")";
    }
    if (state == delivery::kAccepted || state == delivery::kSubmitted) {
        return "handed to the network";
    }
    if (state == delivery::kDelivered) {
        return message.stateAt.empty() ? "delivered to the phone"
                                       : "delivered to the phone (" + ShownTime(message.stateAt) + ")";
    }
    if (state == delivery::kFailed || state == delivery::kExpired) {
        return "not delivered: " + (message.reason.empty() ? std::string("no reason given") : message.reason);
    }
    if (state == delivery::kCancelled) {
        return "not sent: cancelled";
    }
    return "not sent: delivery is off";
}

std::string SignInView(const std::string& formToken, std::string_view number, std::string_view notice,
                       const FormError* error) {
    std::string html;
    if (!notice.empty()) {
        html += "<p class=\"notice\" role=\"status\">" + HtmlEscape(notice) + "</p>\n";
    }
    html += "<p>Sign in with your mobile number and your Vantro password to see the messages you sent and what "
            "became of them.</p>\n";
    html += ErrorBox(error);
    html += FormStart(kMessagesPath, formToken, "signin");
    html += "<label for=\"number\">Mobile number</label>\n"
            "<span class=\"hint\" id=\"number-hint\">10 digits, no spaces or dashes.</span>\n"
            "<input id=\"number\" name=\"number\" type=\"text\" inputmode=\"numeric\" autocomplete=\"username\" "
            "maxlength=\"10\" aria-required=\"true\" value=\"" +
            HtmlEscape(number) + "\"" + FieldState("number", error, "number-hint", number.empty()) + ">\n";
    html += "<label for=\"password\">Password</label>\n<input id=\"password\" name=\"password\" type=\"password\" "
            "autocomplete=\"current-password\" aria-required=\"true\"" +
            FieldState("password", error, "", !number.empty()) + ">\n";
    html += "<button type=\"submit\">Sign in</button>\n</form>\n";
    return html;
}

std::string MessageListView(const std::string& formToken, std::string_view login,
                            const std::vector<SentMessage>& messages, int keepDays) {
    std::string html = "<p>Signed in as <strong>" + HtmlEscape(login) + "</strong>. Your last " +
                       std::to_string(kMessagesListed) + " messages, newest first; times are in UTC.</p>\n";
    html += "<p><a href=\"" + std::string(kMessagesPath) + "\" autofocus>Refresh</a></p>\n";
    if (messages.empty()) {
        html += "<p>You have sent no messages yet.</p>\n";
    } else {
        html += "<ol class=\"messages\">\n";
        for (const SentMessage& message : messages) {
            html += MessageItem(message, keepDays);
        }
        html += "</ol>\n";
    }
    html += FormStart(kMessagesPath, formToken, "signout") + "<button type=\"submit\">Sign out</button>\n</form>\n";
    html += "<h2>" + std::string(kDeleteTitle) +
            "</h2>\n<p>Removes your account, your address book and the text of "
            "your messages; messages still waiting are not sent.</p>\n<p><a href=\"" +
            std::string(kMessagesPath) + "?delete=true\">" + std::string(kDeleteTitle) + "</a></p>\n";
    return html;
}

std::string DeleteView(const std::string& formToken, const FormError* error) {
    std::string html = "<p>Deleting your account removes it with your address book and your sessions, and the text "
                       "of the messages you sent. Messages still waiting to be sent are cancelled and never sent. "
                       "Your number may register again afterwards.</p>\n";
    html += ErrorBox(error);
    html += FormStart(kMessagesPath, formToken, "delete");
    html += "<label for=\"password\">Your password, to confirm</label>\n<input id=\"password\" name=\"password\" "
            "type=\"password\" autocomplete=\"current-password\" aria-required=\"true\"" +
            FieldState("password", error, "", true) + ">\n";
    html += "<button type=\"submit\">" + std::string(kDeleteTitle) + "</button>\n</form>\n";
    html += "<p><a href=\"" + std::string(kMessagesPath) + "\">Keep my account</a></p>\n";
    return html;
}

std::string DeletedView(std::string_view login) {
    return "<p role=\"status\">Your account <strong>" + HtmlEscape(login) +
           "</strong> is deleted, and you are signed out. The number may register again.</p>\n";
}

} // namespace server
