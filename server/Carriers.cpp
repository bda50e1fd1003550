#include "Carriers.h"

#include <array>

namespace server {

namespace {

// US carriers with their well-known email-to-SMS gateways. Straight Talk has none of its own
// (it depends on the network the phone uses), so its gateway stays unknown.
constexpr std::array kCarriers{
    Carrier{"AT&T", "txt.att.net"},
    Carrier{"Boost Mobile", "sms.myboostmobile.com"},
    Carrier{"C Spire", "cspire1.com"},
    Carrier{"Consumer Cellular", "mailmymobile.net"},
    Carrier{"Cricket Wireless", "sms.cricketwireless.net"},
    Carrier{"Google Fi", "msg.fi.google.com"},
    Carrier{"Metro by T-Mobile", "mymetropcs.com"},
    Carrier{"Mint Mobile", "tmomail.net"},
    Carrier{"Republic Wireless", "text.republicwireless.com"},
    Carrier{"Sprint", "messaging.sprintpcs.com"},
    Carrier{"Straight Talk", ""},
    Carrier{"T-Mobile", "tmomail.net"},
    Carrier{"Ting", "message.ting.com"},
    Carrier{"Tracfone", "mmst5.tracfone.com"},
    Carrier{"U.S. Cellular", "email.uscc.net"},
    Carrier{"Verizon Wireless", "vtext.com"},
    Carrier{"Virgin Mobile", "vmobl.com"},
    Carrier{"Xfinity Mobile", "vtext.com"},
};

} // namespace

std::span<const Carrier> KnownCarriers() { return kCarriers; }

std::optional<Carrier> FindCarrier(std::string_view name) {
    for (const Carrier& carrier : kCarriers) {
        if (carrier.name == name) {
            return carrier;
        }
    }
    return std::nullopt;
}

std::string GatewayAddress(std::string_view number, std::string_view carrierName) {
    const auto carrier = FindCarrier(carrierName);
    if (!carrier || carrier->gateway.empty()) {
        return {};
    }
    std::string address(number);
    address += '@';
    address += carrier->gateway;
    return address;
}

} // namespace server
