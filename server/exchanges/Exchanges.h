#pragma once

// The client's five exchanges, each a plain function from the request body to the answer text,
// so that they can be tested without sockets. Every answer is an XML document in the exchange's
// answer format; a request the service cannot use gets a refusal in that format, never an
// exception (only a failing store throws). Each exchange sits in a file of its own
// (LoginExchange.cpp, CarrierListExchange.cpp, AddressBookExchange.cpp,
// AddressBookUpdateExchange.cpp, MessageSendExchange.cpp); all read their request with
// RequestReader.h.

#include "server/delivery/GatewayTable.h"
#include "server/exchanges/ConsoleLine.h"
#include "server/exchanges/FriendEntryCheck.h"
#include "server/exchanges/LoginThrottle.h"
#include "server/exchanges/Refusals.h"
#include "server/exchanges/RequestReader.h"
#include "server/store/Store.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace server {

// The send answer's advertisement: by default the service's own, leading to "My messages".
inline constexpr std::string_view kDefaultAdText = "Track this message and your last ones";
inline constexpr std::string_view kDefaultAdLink = "See delivery status";
inline constexpr std::string_view kDefaultAdPath = "/messages.aspx";

struct Advertisement {
    std::string text{kDefaultAdText};
    std::string link{kDefaultAdLink};
    // Empty: no link; nothing: the page at kDefaultAdPath under the public address.
    std::optional<std::string> url;
};

struct ExchangeSettings {
    // The service's public address, e.g. "https://sms.example.org".
    std::string publicUrl;
    // What a send answer carries in ad_text, ad_link and ad_url.
    Advertisement ad;
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

} // namespace server
