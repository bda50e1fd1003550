#pragma once

// The texts the exchanges answer with: the refusal for each kind of bad request (without the
// exchange's prefix) and the two success texts the program looks for.

#include <string_view>

namespace server {

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

} // namespace server
