#pragma once

// The client's five exchanges, each a plain function from the request body to the answer text,
// so that they can be tested without sockets. Every answer is an XML document in the exchange's
// answer format; a request the service cannot use gets a refusal in that format, never an
// exception (only a failing store throws).

#include "server/delivery/GatewayTable.h"
#include "server/exchanges/LoginThrottle.h"
#include "server/store/Store.h"

#include <functional>
#include <string>
#include <string_view>

#include <pugixml.hpp>

namespace server {

// The refusal text that comes back for each kind of bad request (without the exchange's prefix).
namespace refusal {
inline constexpr std::string_view kUnreadable = "The request could not be read.";
inline constexpr std::string_view kTooLarge = "The request is too large.";
inline constexpr std::string_view kUnknownUser = "Unknown user. Please log in again.";
inline constexpr std::string_view kBadLogin = "Invalid login or password.";
inline constexpr std::string_view kEmptyLogin = "Please enter your login and password.";
inline constexpr std::string_view kBadNumber =
    "The phone number must be exactly 10 digits and must not start with 0 or 1.";
inline constexpr std::string_view kNoCarrier = "Please choose a carrier.";
inline constexpr std::string_view kEmptyBody = "The message is empty.";
inline constexpr std::string_view kNameTooLong = "The name may have at most 50 characters.";
inline constexpr std::string_view kBadText = "The text holds a character that cannot be stored.";
inline constexpr std::string_view kNoFriendIdLeft = "The address book cannot take more entries.";
inline constexpr std::string_view kAddNeedsZero = "A new friend must be sent with the friend id 0.";
// Its login and password are public, so with delivery on it would let anyone text anyone.
inline constexpr std::string_view kDemoNotDelivered =
    "The demo user cannot send text messages on this service. Please register to send them.";
// Between them the carrier's name in quotes: its e-mail-to-SMS gateway has closed (or it never
// had one), and the service delivers by e-mail only.
inline constexpr std::string_view kNoGateway = "The carrier ";
inline constexpr std::string_view kNoGatewayEnd =
    " no longer accepts e-mail-to-text messages, so this service cannot deliver to it.";
} // namespace refusal

inline constexpr std::string_view kUpdateSuccessful = "Update Successful.";
inline constexpr std::string_view kSentPrefix = "Your message was sent";

struct ExchangeSettings {
    // The service's public address, e.g. "https://sms.example.org", under which the
    // advertisement's page lies; empty gives an empty ad_url.
    std::string publicUrl;
    // Receives one console line per accepted message; may be empty.
    std::function<void(const std::string&)> console;
    ThrottleSettings throttle;
    // The carriers and their gateways; null: the built-in table.
    const GatewayTable* gateways = nullptr;
    // With delivery on, a message is queued for the delivery worker.
    bool deliveryOn = false;
    // Delivery by e-mail to the carriers' gateways: with delivery on, a message to a carrier
    // without a gateway is refused, and the carrier list holds only carriers with one. False for
    // the SMS gateway, where the carrier plays no part.
    bool byCarrierGateway = true;
    // Called after a message has been queued (wakes the worker); may be empty.
    std::function<void()> queued{};
};

// The concatenated character data of a node and its descendants, as the client's DOM reads it.
std::string NodeText(pugi::xml_node node);
// Whether the body is a well-formed XML 1.0 document without a document type declaration, read
// as strictly as the program reads answers.
bool IsWellFormedRequest(std::string_view body);

// The exchanges of one service. The login answer's id is a session token; the other exchanges
// carry it back and are refused like a wrong login when it is unknown or has ended. Safe to use
// from several threads.
class Exchanges {
public:
    Exchanges(Store& store, ExchangeSettings settings);

    // POST /vantro_login.aspx: <login><result>TRUE|FALSE</result><string>token or refusal</string></login>
    // `clientAddress` is whom failed logins are counted against.
    std::string login(std::string_view body, std::string_view clientAddress);
    // A login answer refusing with that reason, without reading the request.
    std::string refuseLogin(std::string_view reason) const;
    // POST /vantro_carriers.aspx: <carriers><carrier>name</carrier>...</carriers>, in the
    // gateway table's order; with delivery on, only the carriers that have a gateway.
    std::string carriers() const;
    // POST /vantro_ab.aspx: <address_book><result>TRUE</result><ab><friend>...</friend></ab></address_book>
    std::string addressBook(std::string_view body);
    // POST /vantro_ab_update.aspx: <update>Update Successful.</update> or <update>refusal</update>
    std::string update(std::string_view body);
    // POST /vantro_send.aspx: <response><send>Your message was sent to N.</send><ad_text/>...</response>
    std::string send(std::string_view body);

    Store& store() noexcept { return m_store; }

private:
    const GatewayTable& gateways() const;

    Store& m_store;
    ExchangeSettings m_settings;
    LoginThrottle m_throttle;
};

// Helpers, exposed for tests and for the console.

// Exactly 10 ASCII digits, the first neither 0 nor 1.
bool IsValidPhoneNumber(std::string_view number);
// Undoes the client's extra escaping of names and carriers: every "&amp;" becomes "&", left to right.
std::string DecodeClientAmpersands(std::string_view text);
// The one console line of an accepted message, line breaks and other control characters shown
// as \r, \n, \t, \xHH.
std::string ConsoleLine(const OutboxMessage& message, std::string_view senderLogin,
                        const GatewayTable& gateways = GatewayTable::builtIn());
// A text with control characters, quotes and backslashes written as C escapes, in double quotes.
std::string Quoted(std::string_view text);

} // namespace server
