#include "service/MessageSendExchange.h"

#include "service/FailureDocuments.h"
#include "service/RequestDocument.h"
#include "service/ServiceExchange.h"

namespace {

// The service's confirmation begins with these words; whatever follows them varies.
constexpr std::string_view SentConfirmation = "Your message was sent";

std::string optionalText(const ServiceAnswer& answer, const char* query) {
    const pugi::xml_node node = answer.findFirst(query);
    return node ? NodeText(node) : std::string();
}

} // namespace

SendOutcome MessageSendExchange(const std::string& userId, std::int32_t friendId, const std::string& phone,
                                const std::string& carrier, const std::string& subject, const std::string& body) {
    const std::string friendText = std::to_string(friendId);
    const std::string escapedCarrier = EscapeXmlText(carrier);
    const std::string escapedSubject = EscapeXmlText(subject);
    const std::string escapedBody = EscapeXmlText(body);
    const std::string request = RequestDocument("QVRMessage", {{"Reguser", userId},
                                                               {"Friend", friendText},
                                                               {"To", phone},
                                                               {"Carrier", escapedCarrier},
                                                               {"Subject", escapedSubject},
                                                               {"Body", escapedBody}});
    const ServiceAnswer answer = ServiceExchange("/vantro_send.aspx", request, FailureDocuments::MessageSend);

    SendOutcome outcome;
    outcome.sendText = answer.firstText("//send");
    outcome.sent = outcome.sendText.starts_with(SentConfirmation);
    if (outcome.sent) {
        outcome.adText = optionalText(answer, "//ad_text");
        outcome.adLink = optionalText(answer, "//ad_link");
        outcome.adUrl = optionalText(answer, "//ad_url");
    }
    return outcome;
}
