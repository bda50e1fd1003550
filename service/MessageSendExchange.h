#pragma once

#include <cstdint>
#include <string>

struct SendOutcome {
    std::string sendText; // the service's outcome text, shown to the user as it stands
    bool sent = false;    // the text begins with the service's confirmation
    // The advertisement, read only when the message was sent. Missing elements read as empty
    // text: the message has gone out by then, and reporting an error would invite sending it again.
    std::string adText, adLink, adUrl;
};

// Sends one message. In friend mode `friendId` names the recipient and `phone` and `carrier` are
// empty; in number mode `friendId` is 0. The carrier (whose "&" the caller has already turned into
// "&amp;"), the subject and the body are escaped here; the user id and the phone go out as given.
// A non-200 status gives the send failure text, not sent. A transport failure is a TransportError,
// an answer without //send a MissingNodeError.
SendOutcome MessageSendExchange(const std::string& userId, std::int32_t friendId, const std::string& phone,
                                const std::string& carrier, const std::string& subject, const std::string& body);
