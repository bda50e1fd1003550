#include "server/web/AccountPages.h"

#include "server/exchanges/Exchanges.h"
#include "server/store/Passwords.h"
#include "server/web/Csrf.h"
#include "server/web/Forms.h"

namespace server {

struct AccountPages::Flow {
    CodePurpose purpose;
    std::string_view path;
    std::string_view title;
    std::string_view intro;
    std::string_view passwordLabel;
    std::string_view confirmButton;
};

namespace {

// The program's own sentences for a number it refuses.
constexpr std::string_view kNumberNot10Digits = "Phone number must be 10 digit numeric.";
constexpr std::string_view kNumberNotUs = "We do not support those types of numbers.  United States Only.";
constexpr std::string_view kNoCarrier = "Please choose your carrier from the list.";
constexpr std::string_view kNoPassword = "Please choose a password.";
constexpr std::string_view kPasswordSpaces = "A password cannot begin or end with a space.";
// New passwords only: the demo user's public one is shorter and stays as it is.
constexpr std::size_t kMinPasswordCharacters = 8;
constexpr std::string_view kPasswordShort = "A password needs at least 8 characters.";
constexpr std::string_view kPasswordHint = "At least 8 characters.";

// Characters as a person counts them: code points of the UTF-8 text.
std::size_t CodePoints(std::string_view text) {
    std::size_t count = 0;
    for (const char c : text) {
        count += (static_cast<unsigned char>(c) & 0xC0U) != 0x80U ? 1 : 0;
    }
    return count;
}
constexpr std::string_view kPasswordsDiffer = "The two passwords differ. Please type the same password twice.";
constexpr std::string_view kCodeUnusable = "That code has expired or has been tried too often. Please ask for a "
                                           "new code.";
constexpr std::string_view kLimitedHour = "Too many codes have been asked for this number or from your address. "
                                          "Please wait an hour and try again.";
constexpr std::string_view kLimitedDay = "Too many codes have been asked for this number or from your address "
                                         "today. Please try again tomorrow.";

std::string NumberRefusal(std::string_view number) {
    if (number.size() != 10 || number.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::string(kNumberNot10Digits);
    }
    if (!IsValidPhoneNumber(number)) {
        return std::string(kNumberNotUs);
    }
    return {};
}

std::string DeliveryOffNotice() {
    return "This service does not deliver texts, so the code was printed on the service's console: look in "
           "the window or terminal where vantro-server runs.";
}

std::string Minutes(std::int64_t seconds) {
    const std::int64_t minutes = (seconds + 59) / 60;
    return std::to_string(minutes) + (minutes == 1 ? " minute" : " minutes");
}

} // namespace

AccountPages::AccountPages(Store& store, Verification& verification, const GatewayTable& gateways, CodeSender send,
                           ConsoleSink console, bool everyCarrier)
    : m_store(store), m_verification(verification), m_gateways(gateways), m_send(std::move(send)),
      m_console(std::move(console)), m_everyCarrier(everyCarrier) {}

std::vector<std::string_view> AccountPages::carrierChoices() const {
    std::vector<std::string_view> names;
    for (const Carrier& carrier : m_gateways.carriers()) {
        if (!m_send || m_everyCarrier || !carrier.gateway.empty()) {
            names.push_back(carrier.name);
        }
    }
    return names;
}

namespace {

const AccountPages::Flow& RegistrationFlow() {
    static const AccountPages::Flow flow{
        CodePurpose::Registration,
        "/login.aspx?regstart=true",
        "Register",
        "Your login is your 10-digit US mobile number. We text a 6-digit code to it to make sure the phone "
        "is yours; then you choose your password.",
        "Password",
        "Register",
    };
    return flow;
}

const AccountPages::Flow& ResetFlow() {
    static const AccountPages::Flow flow{
        CodePurpose::PasswordReset,
        "/login.aspx?forgot=true",
        "Forgot your password?",
        "Choose a new password. We text a 6-digit code to your mobile number to make sure the phone is yours.",
        "New password",
        "Set the new password",
    };
    return flow;
}

std::string NumberForm(const AccountPages::Flow& flow, const std::vector<std::string_view>& carriers,
                       const std::string& formToken, std::string_view number, std::string_view carrier,
                       const FormError* error) {
    std::string html = "<p>" + HtmlEscape(flow.intro) + "</p>\n";
    html += ErrorBox(error);
    html += FormStart(flow.path, formToken, "request");
    html += "<label for=\"number\">Mobile number</label>\n"
            "<span class=\"hint\" id=\"number-hint\">10 digits, no spaces or dashes, for example 7125550100.</span>\n"
            "<input id=\"number\" name=\"number\" type=\"text\" inputmode=\"numeric\" autocomplete=\"tel-national\" "
            "maxlength=\"10\" aria-required=\"true\" value=\"" +
            HtmlEscape(number) + "\"" + FieldState("number", error, "number-hint", true) + ">\n";
    html += "<label for=\"carrier\">Carrier</label>\n<select id=\"carrier\" name=\"carrier\" aria-required=\"true\"" +
            FieldState("carrier", error, "", false) + ">\n<option value=\"\">Choose your carrier</option>\n";
    for (const std::string_view name : carriers) {
        html += "<option value=\"" + HtmlEscape(name) + "\"" + (name == carrier ? " selected" : "") + ">" +
                HtmlEscape(name) + "</option>\n";
    }
    html += "</select>\n<button type=\"submit\">Text me a code</button>\n</form>\n";
    return html;
}

std::string CodeForm(const AccountPages::Flow& flow, const std::string& formToken, std::string_view number,
                     std::string_view carrier, std::string_view notice, const FormError* error) {
    std::string html = "<p class=\"notice\" role=\"status\">" + HtmlEscape(notice) + "</p>\n";
    html += ErrorBox(error);
    html += FormStart(flow.path, formToken, "confirm");
    html += "<input type=\"hidden\" name=\"number\" value=\"" + HtmlEscape(number) + "\">\n";
    html += "<input type=\"hidden\" name=\"carrier\" value=\"" + HtmlEscape(carrier) + "\">\n";
    html += "<p>Mobile number: <strong>" + HtmlEscape(number) + "</strong> (" + HtmlEscape(carrier) + ")</p>\n";
    html += "<label for=\"code\">Code from the text</label>\n"
            "<input id=\"code\" name=\"code\" type=\"text\" inputmode=\"numeric\" autocomplete=\"one-time-code\" "
            "maxlength=\"6\" aria-required=\"true\"" +
            FieldState("code", error, "", true) + ">\n";
    html += "<label for=\"password\">" + HtmlEscape(flow.passwordLabel) + " <span class=\"hint\">" +
            std::string(kPasswordHint) +
            "</span></label>\n<input id=\"password\" name=\"password\" type=\"password\" autocomplete=\"new-password\" "
            "aria-required=\"true\"" +
            FieldState("password", error, "", false) + ">\n";
    html += "<label for=\"confirmation\">" + HtmlEscape(flow.passwordLabel) +
            " again</label>\n<input id=\"confirmation\" name=\"confirmation\" type=\"password\" "
            "autocomplete=\"new-password\" aria-required=\"true\"" +
            FieldState("confirmation", error, "", false) + ">\n";
    html += "<button type=\"submit\">" + HtmlEscape(flow.confirmButton) + "</button>\n</form>\n";
    html += "<p><a href=\"" + std::string(flow.path) + "\">Ask for a new code</a></p>\n";
    return html;
}

} // namespace

Page AccountPages::registrationForm(const std::string& formToken) const {
    const Flow& flow = RegistrationFlow();
    return {200, Html(flow.title, NumberForm(flow, carrierChoices(), formToken, {}, {}, nullptr))};
}

Page AccountPages::passwordResetForm(const std::string& formToken) const {
    const Flow& flow = ResetFlow();
    return {200, Html(flow.title, NumberForm(flow, carrierChoices(), formToken, {}, {}, nullptr))};
}

Page AccountPages::refusedForm(bool registration) {
    const Flow& flow = registration ? RegistrationFlow() : ResetFlow();
    return RefusedForm(flow.title, flow.path);
}

Page AccountPages::postRegistration(const FormFields& form, std::string_view clientAddress,
                                    const std::string& formToken) {
    return post(RegistrationFlow(), form, clientAddress, formToken);
}

Page AccountPages::postPasswordReset(const FormFields& form, std::string_view clientAddress,
                                     const std::string& formToken) {
    return post(ResetFlow(), form, clientAddress, formToken);
}

void AccountPages::deliver(CodePurpose purpose, const std::string& number, const std::string& carrier,
                           const Verification::Request& request) {
    const std::string lifetime = Minutes(m_verification.limits().codeLifetimeSeconds);
    if (m_send) {
        m_send(CodeText{number, carrier, "Vantro code",
                        "Your Vantro code is " + request.code + ". It is valid for " + lifetime +
                            ". If you did not ask for it, ignore this text.",
                        request.expiresAt});
        return;
    }
    if (m_console) {
        m_console("Verification code for " + number + ": " + request.code + " (" +
                  (purpose == CodePurpose::Registration ? "registration" : "new password") + ", valid " + lifetime +
                  ")");
    }
}

Page AccountPages::post(const Flow& flow, const FormFields& form, std::string_view clientAddress,
                        const std::string& formToken) {
    const std::string number = Field(form, "number");
    const std::string carrier = Field(form, "carrier");
    const std::vector<std::string_view> carriers = carrierChoices();
    const auto numberForm = [&](int status, FormError error) {
        return Page{status, Html(flow.title, NumberForm(flow, carriers, formToken, number, carrier, &error))};
    };
    if (const std::string refusal = NumberRefusal(number); !refusal.empty()) {
        return numberForm(400, {"number", refusal});
    }
    bool knownCarrier = false;
    for (const std::string_view name : carriers) {
        knownCarrier = knownCarrier || name == carrier;
    }
    if (!knownCarrier) {
        return numberForm(400, {"carrier", std::string(kNoCarrier)});
    }
    if (Field(form, "step") == "confirm") {
        return confirm(flow, form, formToken);
    }

    // Every request is counted and gets a code, registered number or not, so that neither the
    // answer nor the limits tell whether a number is registered. Only the code's delivery differs.
    const Verification::Request request = m_verification.requestCode(flow.purpose, number, clientAddress);
    if (request.outcome == Verification::RequestOutcome::LimitedForAnHour) {
        return numberForm(429, {"", std::string(kLimitedHour)});
    }
    if (request.outcome == Verification::RequestOutcome::LimitedForADay) {
        return numberForm(429, {"", std::string(kLimitedDay)});
    }
    const bool reset = flow.purpose == CodePurpose::PasswordReset;
    if (!reset || m_store.findUserByLogin(number)) {
        deliver(flow.purpose, number, carrier, request);
    }
    const std::string lifetime = Minutes(m_verification.limits().codeLifetimeSeconds);
    std::string notice;
    if (reset) {
        notice = m_send ? "If " + number +
                              " is registered, we have texted a 6-digit code to it. The code is valid "
                              "for " +
                              lifetime + "."
                        : "If " + number + " is registered, a 6-digit code for it is on its way. " +
                              DeliveryOffNotice() + " The code is valid for " + lifetime + ".";
    } else {
        notice = m_send ? "We have texted a 6-digit code to " + number + ". It is valid for " + lifetime + "."
                        : "A 6-digit code for " + number + " is on its way. " + DeliveryOffNotice() +
                              " The code is valid for " + lifetime + ".";
    }
    return {200, Html(flow.title, CodeForm(flow, formToken, number, carrier, notice, nullptr))};
}

Page AccountPages::confirm(const Flow& flow, const FormFields& form, const std::string& formToken) {
    const std::string number = Field(form, "number");
    const std::string carrier = Field(form, "carrier");
    const std::string code = Field(form, "code");
    const std::string password = Field(form, "password");
    const std::string confirmation = Field(form, "confirmation");
    const std::string notice =
        m_send ? "Type the 6-digit code we texted to " + number + " and choose the password."
               : "Type the 6-digit code for " + number + " from the service's console and choose the password.";
    const auto codeForm = [&](int status, FormError error) {
        return Page{status, Html(flow.title, CodeForm(flow, formToken, number, carrier, notice, &error))};
    };
    const auto numberForm = [&](int status, FormError error) {
        return Page{status, Html(flow.title, NumberForm(flow, carrierChoices(), formToken, number, carrier, &error))};
    };
    // The password is checked before the code, so that a typing slip costs no try.
    if (password.empty()) {
        return codeForm(400, {"password", std::string(kNoPassword)});
    }
    if (password.front() == ' ' || password.back() == ' ') {
        // The program trims spaces from both ends before it sends a password.
        return codeForm(400, {"password", std::string(kPasswordSpaces)});
    }
    if (CodePoints(password) < kMinPasswordCharacters) {
        return codeForm(400, {"password", std::string(kPasswordShort)});
    }
    if (password != confirmation) {
        return codeForm(400, {"confirmation", std::string(kPasswordsDiffer)});
    }

    const Verification::Check check = m_verification.checkCode(flow.purpose, number, code);
    switch (check.outcome) {
    case Verification::CheckOutcome::Matched:
        break;
    case Verification::CheckOutcome::Wrong:
        if (check.triesLeft > 0) {
            return codeForm(400, {"code", "That code is not right. You have " + std::to_string(check.triesLeft) +
                                              (check.triesLeft == 1 ? " try" : " tries") + " left."});
        }
        return numberForm(400, {"", std::string(kCodeUnusable)});
    case Verification::CheckOutcome::Expired:
    case Verification::CheckOutcome::TriesUsedUp:
        return numberForm(400, {"", std::string(kCodeUnusable)});
    }
    return complete(flow, number, carrier, password).value_or(numberForm(400, {"", std::string(kCodeUnusable)}));
}

std::optional<Page> AccountPages::complete(const Flow& flow, const std::string& number, const std::string& carrier,
                                           const std::string& password) {
    if (flow.purpose == CodePurpose::Registration) {
        if (!m_store.registerUser(number, HashPassword(password))) {
            // The code proved the phone, so its holder may know the number is registered.
            return Page{
                409, Html("Already registered", "<p class=\"message\" role=\"alert\">The number " + HtmlEscape(number) +
                                                    " is already registered.</p>\n<p>If you forgot its password, <a "
                                                    "href=\"/login.aspx?forgot=true\">choose a new password</a>.</p>")};
        }
        m_verification.rememberCarrier(number, carrier);
        return Page{200, Html("Registered", "<p role=\"status\">Welcome! You are registered with the login <strong>" +
                                                HtmlEscape(number) +
                                                "</strong>.</p>\n<p>Log in with the Vantro program using this number "
                                                "and your password.</p>")};
    }

    const auto user = m_store.findUserByLogin(number);
    if (!user) {
        // The code of an unregistered number was never sent; matching it was a lucky guess.
        return std::nullopt;
    }
    // Also ends every session of the user: whoever held the old password is logged out.
    m_store.setPassword(user->id, HashPassword(password));
    m_verification.rememberCarrier(number, carrier);
    return Page{200, Html("Password changed", "<p role=\"status\">Your password is changed. Log in with the Vantro "
                                              "program using <strong>" +
                                                  HtmlEscape(number) + "</strong> and your new password.</p>")};
}

} // namespace server
