#pragma once

// The account pages the program links to: registration ("/login.aspx?regstart=true") and a new
// password for a forgotten one ("/login.aspx?forgot=true"). Both prove that the person holds the
// phone with a texted code: number and carrier first, then the code and the password twice.

#include "server/delivery/GatewayTable.h"
#include "server/web/Forms.h"
#include "server/web/Pages.h"
#include "server/store/Store.h"
#include "server/web/Verification.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace server {

// A code on its way to a phone.
struct CodeText {
    std::string number;
    std::string carrier;
    std::string subject;
    std::string body;
    std::int64_t expiresAt = 0; // seconds since the epoch; not worth delivering afterwards
};
using CodeSender = std::function<void(const CodeText&)>;
using ConsoleSink = std::function<void(const std::string&)>;

class AccountPages {
public:
    // `send` texts a code. Without it delivery is off, and each code goes to `console` instead,
    // which is where the pages tell the person to look.
    // `everyCarrier`: the codes go through the SMS gateway, where the carrier plays no part.
    AccountPages(Store& store, Verification& verification, const GatewayTable& gateways, CodeSender send,
                 ConsoleSink console, bool everyCarrier = false);

    Page registrationForm(const std::string& formToken) const;
    Page passwordResetForm(const std::string& formToken) const;
    // The posted forms of either page. The caller has checked the form token already.
    Page postRegistration(const FormFields& form, std::string_view clientAddress, const std::string& formToken);
    Page postPasswordReset(const FormFields& form, std::string_view clientAddress, const std::string& formToken);
    // The answer to a form posted without a valid form token (403).
    static Page refusedForm(bool registration);

    // The carriers a person may choose: with delivery by e-mail only those with a known gateway.
    std::vector<std::string_view> carrierChoices() const;

    // The texts and address of one of the two pages.
    struct Flow;

private:
    Page post(const Flow& flow, const FormFields& form, std::string_view clientAddress, const std::string& formToken);
    Page confirm(const Flow& flow, const FormFields& form, const std::string& formToken);
    // With the code proven: the new account or the new password, or nothing when the number of a
    // password reset has no account.
    std::optional<Page> complete(const Flow& flow, const std::string& number, const std::string& carrier,
                                 const std::string& password);
    void deliver(CodePurpose purpose, const std::string& number, const std::string& carrier,
                 const Verification::Request& request);

    Store& m_store;
    Verification& m_verification;
    const GatewayTable& m_gateways;
    CodeSender m_send;
    ConsoleSink m_console;
    bool m_everyCarrier = false;
};

} // namespace server
