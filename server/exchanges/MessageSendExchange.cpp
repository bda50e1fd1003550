// POST /vantro_send.aspx: one text message, to a friend of the address book or to a typed number.

#include "server/exchanges/AnswerXml.h"
#include "server/exchanges/Exchanges.h"
#include "server/store/DemoData.h"
#include "server/store/XmlText.h"

#include <optional>
#include <utility>
#include <vector>

namespace server {

namespace {

constexpr std::string_view kSendFailed = "Send Failed. ";

std::string SendRefusal(std::string_view text) {
    pugi::xml_document doc;
    pugi::xml_node root = doc.append_child("response");
    answer::AddText(root, "send", answer::Join(kSendFailed, text));
    return answer::Serialize(doc);
}

bool IsBlank(std::string_view text) { return text.find_first_not_of(" \t\r\n") == std::string_view::npos; }

// "10:15:03 UTC" on the same day (UTC), else "2024-01-02 10:15:03 UTC".
std::string RetryTime(std::int64_t retryAt, std::int64_t now) {
    std::string text = UtcText(retryAt); // 2024-01-02T10:15:03Z
    const bool sameDay = text.compare(0, 10, UtcText(now), 0, 10) == 0;
    text[10] = ' ';
    text.pop_back();
    if (sameDay) {
        text.erase(0, 11);
    }
    return text + " UTC";
}

std::string LimitRefusal(const OutboxResult& result, const StoreSettings& limits, std::int64_t now) {
    const bool daily = result.status == OutboxResult::Status::OverDayLimit;
    const int limit = daily ? limits.sendsPerDay : limits.sendsPerMinute;
    return "You may send " + std::to_string(limit) + (limit == 1 ? " message a " : " messages a ") +
           (daily ? "day" : "minute") + ". Please send again after " + RetryTime(result.retryAt, now) + ".";
}

// One send request on its way to the outbox. Each step either refuses (the text after
// "Send Failed. ") or lets the message go on to the next.
class MessageSend {
public:
    MessageSend(Store& store, const ExchangeSettings& settings, const GatewayTable& gateways)
        : m_store(store), m_settings(settings), m_gateways(gateways) {}

    // The fields Reguser, Friend, To, Carrier, Subject and Body: the sender's session and the message.
    std::optional<std::string> parse(std::vector<std::string> fields) {
        m_user = m_store.sessionUser(fields[0]);
        if (!m_user) {
            return std::string(refusal::kUnknownUser);
        }
        m_friendText = std::move(fields[1]);
        const auto friendId = ParseInteger(m_friendText);
        if (!friendId) {
            return UnknownFriend(m_friendText);
        }
        m_message.userId = m_user->id;
        m_message.friendId = *friendId;
        if (*friendId == 0) {
            m_message.number = std::move(fields[2]);
            // The carrier comes with its "&" escaped twice, as in the address book update.
            m_message.carrier = DecodeClientAmpersands(fields[3]);
        }
        m_message.subject = std::move(fields[4]);
        m_message.body = std::move(fields[5]);
        return std::nullopt;
    }

    // A typed number and carrier are checked as an address book entry is; a friend's were when
    // the entry was saved.
    std::optional<std::string> checkRecipient() const {
        if (m_message.friendId != 0) {
            return std::nullopt;
        }
        return CheckFriendEntry(m_message.number, m_message.carrier, m_gateways);
    }

    std::optional<std::string> applyDemoPolicy() const {
        if (m_settings.deliveryOn && m_user->login == kDemoLogin) {
            return std::string(refusal::kDemoNotDelivered);
        }
        return std::nullopt;
    }

    // Refused now rather than failed later: the user still has the text in the window.
    std::optional<std::string> checkDeliverable() const {
        if (!m_settings.deliveryOn || !m_settings.byCarrierGateway) {
            return std::nullopt;
        }
        std::string carrier = m_message.carrier;
        std::string number = m_message.number;
        if (m_message.friendId != 0) {
            const auto entry = m_store.findFriend(m_user->id, m_message.friendId);
            if (!entry) {
                return UnknownFriend(m_friendText);
            }
            carrier = entry->carrier;
            number = entry->number;
        }
        if (m_gateways.address(number, carrier).empty()) {
            return std::string(refusal::kNoGateway) + Quoted(carrier) + std::string(refusal::kNoGatewayEnd);
        }
        return std::nullopt;
    }

    std::optional<std::string> checkText() const {
        if (!IsXmlText(m_message.subject) || !IsXmlText(m_message.body)) {
            return std::string(refusal::kBadText);
        }
        if (IsBlank(m_message.body)) {
            return std::string(refusal::kEmptyBody);
        }
        return std::nullopt;
    }

    std::optional<std::string> addToOutbox() {
        m_message.state = m_settings.deliveryOn ? delivery::kQueued : delivery::kOff;
        const OutboxResult result = m_store.addToOutbox(std::move(m_message));
        switch (result.status) {
        case OutboxResult::Status::Stored:
            break;
        case OutboxResult::Status::UnknownFriend:
            return UnknownFriend(m_friendText);
        case OutboxResult::Status::OverMinuteLimit:
        case OutboxResult::Status::OverDayLimit:
            return LimitRefusal(result, m_store.settings(), m_store.now());
        }
        m_stored = result.message;
        return std::nullopt;
    }

    void log() const {
        if (m_settings.console) {
            m_settings.console(ConsoleLine(m_stored, m_user->login, m_gateways));
        }
        if (m_settings.deliveryOn && m_settings.queued) {
            m_settings.queued(); // the answer does not wait for the relay
        }
    }

    std::string answer() const {
        pugi::xml_document doc;
        pugi::xml_node root = doc.append_child("response");
        answer::AddText(root, "send", answer::Join(kSentPrefix, " to " + m_stored.number + "."));
        // All three always there: the program takes an answer without one for a failure.
        answer::AddText(root, "ad_text", m_settings.ad.text);
        answer::AddText(root, "ad_link", m_settings.ad.link);
        const std::string& publicUrl = m_settings.publicUrl;
        answer::AddText(root, "ad_url",
                        m_settings.ad.url.value_or(publicUrl.empty() ? publicUrl
                                                                     : publicUrl + std::string(kDefaultAdPath)));
        return answer::Serialize(doc);
    }

private:
    Store& m_store;
    const ExchangeSettings& m_settings;
    const GatewayTable& m_gateways;
    std::optional<User> m_user;
    std::string m_friendText; // the friend id as sent, for the refusals
    OutboxMessage m_message;  // as it goes to the outbox
    OutboxMessage m_stored;   // as the outbox took it
};

} // namespace

std::string Exchanges::send(std::string_view body) {
    RequestFields request = ReadRequest(body, "QVRMessage", {"Reguser", "Friend", "To", "Carrier", "Subject", "Body"});
    if (!request.refusal.empty()) {
        return SendRefusal(request.refusal);
    }
    MessageSend message(m_store, m_settings, gateways());
    if (auto refused = message.parse(std::move(request.values))) {
        return SendRefusal(*refused);
    }
    for (const auto check : {&MessageSend::checkRecipient, &MessageSend::applyDemoPolicy,
                             &MessageSend::checkDeliverable, &MessageSend::checkText}) {
        if (auto refused = (message.*check)()) {
            return SendRefusal(*refused);
        }
    }
    if (auto refused = message.addToOutbox()) {
        return SendRefusal(*refused);
    }
    message.log();
    return message.answer();
}

} // namespace server
