#include "server/exchanges/Exchanges.h"

#include "server/delivery/GatewayTable.h"
#include "server/store/DemoData.h"
#include "server/store/Passwords.h"
#include "server/store/XmlText.h"

#include <charconv>
#include <cstdio>
#include <limits>
#include <optional>
#include <sstream>
#include <utility>
#include <vector>

#include <libxml/parser.h>
#include <libxml/xmlerror.h>
#include <pugixml.hpp>

namespace server {

namespace {

// A request is first checked with libxml2, which holds to XML 1.0 as strictly as the program does
// with answers. pugixml then reads the fields, because it can keep line breaks as sent (no CR LF
// -> LF normalisation): the outbox must hold a message body exactly.
constexpr unsigned kParseFlags = pugi::parse_default & ~pugi::parse_eol;

constexpr std::string_view kLoginFailed = "Login Failed: ";
constexpr std::string_view kRetrieveFailed = "Retrieve Address Book Failed: ";
constexpr std::string_view kUpdateFailed = "Update Failed. ";
constexpr std::string_view kSendFailed = "Send Failed. ";

std::string Join(std::string_view a, std::string_view b) {
    std::string text(a);
    text += b;
    return text;
}

std::string Serialize(const pugi::xml_document& doc) {
    std::ostringstream out;
    doc.save(out, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
    return std::move(out).str();
}

void AddText(pugi::xml_node parent, const char* name, std::string_view text) {
    parent.append_child(name).append_child(pugi::node_pcdata).set_value(text.data(), text.size());
}

// A request document parsed, with its root element checked.
class RequestDocument {
public:
    RequestDocument(std::string_view body, const char* rootName) {
        if (!IsWellFormedRequest(body)) {
            return;
        }
        const pugi::xml_parse_result parsed =
            m_doc.load_buffer(body.data(), body.size(), kParseFlags, pugi::encoding_utf8);
        if (parsed && std::string_view(m_doc.document_element().name()) == rootName) {
            m_root = m_doc.document_element();
        }
    }

    bool valid() const { return static_cast<bool>(m_root); }

    // The text of the root's first child element of that name; nothing when there is none.
    std::optional<std::string> field(const char* name) const {
        const pugi::xml_node node = m_root.child(name);
        if (!node) {
            return std::nullopt;
        }
        return NodeText(node);
    }

private:
    pugi::xml_document m_doc;
    pugi::xml_node m_root;
};

// Reads all the named fields, or names the first one that is missing.
struct Fields {
    std::vector<std::string> values;
    std::string missing; // empty when every field was there
};

Fields ReadFields(const RequestDocument& request, std::initializer_list<const char*> names) {
    Fields fields;
    for (const char* name : names) {
        auto value = request.field(name);
        if (!value) {
            fields.missing = name;
            return fields;
        }
        fields.values.push_back(std::move(*value));
    }
    return fields;
}

std::string MissingField(std::string_view field) {
    return "The request could not be read: the field " + std::string(field) + " is missing.";
}

// A decimal integer with an optional minus sign, nothing else (no blanks, no plus sign).
std::optional<std::int64_t> ParseInteger(std::string_view text) {
    if (text.empty() || text.size() > 19) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::string UnknownFriend(std::string_view idText) {
    return "There is no friend with the id " + Quoted(idText) + " in your address book.";
}

std::string UnknownCarrier(std::string_view name) { return "Unknown carrier " + Quoted(name) + "."; }

std::size_t CodePoints(std::string_view text) {
    std::size_t count = 0;
    for (const char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0U) != 0x80U) {
            ++count;
        }
    }
    return count;
}

bool IsBlank(std::string_view text) { return text.find_first_not_of(" \t\r\n") == std::string_view::npos; }

// ---- login ----

std::string LoginAnswer(bool accepted, std::string_view text) {
    pugi::xml_document doc;
    pugi::xml_node root = doc.append_child("login");
    AddText(root, "result", accepted ? "TRUE" : "FALSE");
    AddText(root, "string", text);
    return Serialize(doc);
}

std::optional<std::string_view> RawBetween(std::string_view body, std::string_view open, std::string_view close,
                                           std::size_t from, bool lastClose, std::size_t* end) {
    const std::size_t start = body.find(open, from);
    if (start == std::string_view::npos) {
        return std::nullopt;
    }
    const std::size_t valueStart = start + open.size();
    const std::size_t stop = lastClose ? body.rfind(close) : body.find(close, valueStart);
    if (stop == std::string_view::npos || stop < valueStart) {
        return std::nullopt;
    }
    if (end != nullptr) {
        *end = stop + close.size();
    }
    return body.substr(valueStart, stop - valueStart);
}

// ---- update ----

std::string UpdateAnswer(std::string_view text) {
    pugi::xml_document doc;
    AddText(doc, "update", text);
    return Serialize(doc);
}

std::string UpdateRefusal(std::string_view text) { return UpdateAnswer(Join(kUpdateFailed, text)); }

// ---- send ----

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

std::string SendRefusal(std::string_view text) {
    pugi::xml_document doc;
    pugi::xml_node root = doc.append_child("response");
    AddText(root, "send", Join(kSendFailed, text));
    return Serialize(doc);
}

} // namespace

std::string NodeText(pugi::xml_node node) {
    std::string text;
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
        if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) {
            text += child.value();
        } else if (child.type() == pugi::node_element) {
            text += NodeText(child);
        }
    }
    return text;
}

bool IsValidPhoneNumber(std::string_view number) {
    if (number.size() != 10 || number.front() == '0' || number.front() == '1') {
        return false;
    }
    for (const char c : number) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

std::string DecodeClientAmpersands(std::string_view text) {
    constexpr std::string_view kEntity = "&amp;";
    std::string decoded;
    decoded.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        if (text.substr(pos, kEntity.size()) == kEntity) {
            decoded += '&';
            pos += kEntity.size();
        } else {
            decoded += text[pos];
            ++pos;
        }
    }
    return decoded;
}

std::string Quoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (byte < 0x20 || byte == 0x7F) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02X", byte);
                out += hex;
            } else {
                out += c;
            }
        }
    }
    out += '"';
    return out;
}

std::string ConsoleLine(const OutboxMessage& message, std::string_view senderLogin, const GatewayTable& gateways) {
    std::string line = message.sentAt;
    line += " SMS #" + std::to_string(message.id);
    line += " from " + std::string(senderLogin);
    line += " to " + message.number;
    line += " via " + message.carrier;
    const std::string gateway = gateways.address(message.number, message.carrier);
    line += gateway.empty() ? std::string(" (no email gateway known)") : " <" + gateway + ">";
    line += ": subject " + Quoted(message.subject);
    line += " body " + Quoted(message.body);
    return line;
}

namespace {
void IgnoreXmlMessage(void* /*context*/, const char* /*format*/, ...) {}
} // namespace

bool IsWellFormedRequest(std::string_view body) {
    static const bool initialised = [] {
        xmlInitParser();
        return true;
    }();
    (void)initialised;
    // libxml2's handler is per thread, and XML_PARSE_NOERROR does not silence its encoding
    // converters: a hostile request must not write to the service's log.
    thread_local const bool silenced = [] {
        xmlSetGenericErrorFunc(nullptr, &IgnoreXmlMessage);
        return true;
    }();
    (void)silenced;
    if (body.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        return false;
    }
    // No network, no external entities, no messages on stderr; a document type declaration is
    // refused below, so no entity is ever expanded.
    xmlDocPtr doc = xmlReadMemory(body.data(), static_cast<int>(body.size()), nullptr, "UTF-8",
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    const bool ok = doc != nullptr && doc->intSubset == nullptr && doc->extSubset == nullptr;
    xmlFreeDoc(doc);
    return ok;
}

Exchanges::Exchanges(Store& store, ExchangeSettings settings)
    : m_store(store), m_settings(std::move(settings)), m_throttle(m_settings.throttle) {}

std::string Exchanges::login(std::string_view body, std::string_view clientAddress) {
    if (body.size() > kMaxRequestBytes) {
        return LoginAnswer(false, Join(kLoginFailed, refusal::kTooLarge));
    }
    // The client inserts login and password unescaped, so the text between the tags is
    // what the user typed, also when it makes the document ill-formed. A well-formed document is
    // read as XML as well, for a client that does escape.
    std::vector<std::pair<std::string, std::string>> candidates;
    std::size_t loginEnd = 0;
    if (const auto login = RawBetween(body, "<Login>", "</Login>", 0, false, &loginEnd)) {
        if (const auto password = RawBetween(body, "<Password>", "</Password>", loginEnd, true, nullptr)) {
            candidates.emplace_back(std::string(*login), std::string(*password));
        }
    }
    const RequestDocument request(body, "QVRLogin");
    if (request.valid()) {
        auto login = request.field("Login");
        auto password = request.field("Password");
        if (login && password && (candidates.empty() || candidates.front() != std::pair(*login, *password))) {
            candidates.emplace_back(std::move(*login), std::move(*password));
        }
    }
    if (candidates.empty()) {
        return LoginAnswer(false, Join(kLoginFailed, refusal::kUnreadable));
    }
    std::erase_if(candidates, [](const auto& pair) { return pair.first.empty() || pair.second.empty(); });
    if (candidates.empty()) {
        return LoginAnswer(false, Join(kLoginFailed, refusal::kEmptyLogin));
    }
    // Counted against the login as the raw text gives it; both readings name the same user
    // whenever the login is a phone number.
    const std::string& login = candidates.front().first;
    if (const auto pause = m_throttle.pauseLeft(login, clientAddress, m_store.now())) {
        return LoginAnswer(false,
                           Join(kLoginFailed, "Too many failed logins. Please try again in " + std::to_string(*pause) +
                                                  (*pause == 1 ? " second." : " seconds.")));
    }
    for (const auto& [candidateLogin, password] : candidates) {
        const auto user = m_store.findUserByLogin(candidateLogin);
        if (!user) {
            VerifyNothing(password);
        } else if (VerifyPassword(user->passwordHash, password)) {
            m_throttle.succeeded(login, clientAddress);
            return LoginAnswer(true, m_store.startSession(user->id));
        }
    }
    m_throttle.failed(login, clientAddress, m_store.now());
    return LoginAnswer(false, Join(kLoginFailed, refusal::kBadLogin));
}

const GatewayTable& Exchanges::gateways() const {
    return m_settings.gateways != nullptr ? *m_settings.gateways : GatewayTable::builtIn();
}

std::string Exchanges::refuseLogin(std::string_view reason) const {
    return LoginAnswer(false, Join(kLoginFailed, reason));
}

std::string Exchanges::carriers() const {
    pugi::xml_document doc;
    pugi::xml_node root = doc.append_child("carriers");
    for (const Carrier& carrier : gateways().carriers()) {
        if (m_settings.deliveryOn && m_settings.byCarrierGateway && carrier.gateway.empty()) {
            continue; // the program would offer a carrier the service cannot reach
        }
        AddText(root, "carrier", carrier.name);
    }
    return Serialize(doc);
}

std::string Exchanges::addressBook(std::string_view body) {
    pugi::xml_document doc;
    pugi::xml_node root = doc.append_child("address_book");
    const auto refuse = [&](std::string_view text) {
        AddText(root, "result", "FALSE");
        AddText(root, "string", Join(kRetrieveFailed, text));
        return Serialize(doc);
    };
    if (body.size() > kMaxRequestBytes) {
        return refuse(refusal::kTooLarge);
    }
    const RequestDocument request(body, "QVRAB");
    if (!request.valid()) {
        return refuse(refusal::kUnreadable);
    }
    const auto token = request.field("User_id");
    if (!token) {
        return refuse(MissingField("User_id"));
    }
    const auto user = m_store.sessionUser(*token);
    if (!user) {
        return refuse(refusal::kUnknownUser);
    }
    AddText(root, "result", "TRUE");
    pugi::xml_node ab = root.append_child("ab");
    for (const Friend& entry : m_store.friends(user->id)) {
        pugi::xml_node node = ab.append_child("friend");
        AddText(node, "id", std::to_string(entry.id));
        AddText(node, "name", entry.name);
        AddText(node, "number", entry.number);
        AddText(node, "carrier", entry.carrier);
    }
    return Serialize(doc);
}

std::string Exchanges::update(std::string_view body) {
    if (body.size() > kMaxRequestBytes) {
        return UpdateRefusal(refusal::kTooLarge);
    }
    const RequestDocument request(body, "QVRABUpdate");
    if (!request.valid()) {
        return UpdateRefusal(refusal::kUnreadable);
    }
    const Fields fields = ReadFields(request, {"Action", "Reguser", "Friend", "Name", "Number", "Carrier"});
    if (!fields.missing.empty()) {
        return UpdateRefusal(MissingField(fields.missing));
    }
    const std::string& action = fields.values[0];
    const std::string& friendText = fields.values[2];
    if (action != "add" && action != "update" && action != "delete") {
        return UpdateRefusal("Unknown action " + Quoted(action) + ".");
    }
    const auto user = m_store.sessionUser(fields.values[1]);
    if (!user) {
        return UpdateRefusal(refusal::kUnknownUser);
    }
    const auto friendId = ParseInteger(friendText);
    if (!friendId) {
        return UpdateRefusal(UnknownFriend(friendText));
    }
    if (action == "delete") {
        if (!m_store.deleteFriend(user->id, *friendId)) {
            return UpdateRefusal(UnknownFriend(friendText));
        }
        return UpdateAnswer(kUpdateSuccessful);
    }

    // add or update. The client replaces "&" by "&amp;" in name and carrier before it escapes them,
    // so the parser hands us "&amp;" for each "&" the user typed.
    Friend entry{*friendId, DecodeClientAmpersands(fields.values[3]), fields.values[4],
                 DecodeClientAmpersands(fields.values[5])};
    if (action == "add" && *friendId != 0) {
        return UpdateRefusal(refusal::kAddNeedsZero);
    }
    if (action == "update" && !m_store.findFriend(user->id, *friendId)) {
        return UpdateRefusal(UnknownFriend(friendText));
    }
    if (!IsXmlText(entry.name)) {
        return UpdateRefusal(refusal::kBadText);
    }
    if (CodePoints(entry.name) > 50) {
        return UpdateRefusal(refusal::kNameTooLong);
    }
    if (!IsValidPhoneNumber(entry.number)) {
        return UpdateRefusal(refusal::kBadNumber);
    }
    if (entry.carrier.empty()) {
        return UpdateRefusal(refusal::kNoCarrier);
    }
    if (gateways().find(entry.carrier) == nullptr) {
        return UpdateRefusal(UnknownCarrier(entry.carrier));
    }
    if (action == "add") {
        if (!m_store.addFriend(user->id, entry)) {
            return UpdateRefusal(refusal::kNoFriendIdLeft);
        }
    } else if (!m_store.updateFriend(user->id, entry)) {
        return UpdateRefusal(UnknownFriend(friendText));
    }
    return UpdateAnswer(kUpdateSuccessful);
}

std::string Exchanges::send(std::string_view body) {
    if (body.size() > kMaxRequestBytes) {
        return SendRefusal(refusal::kTooLarge);
    }
    const RequestDocument request(body, "QVRMessage");
    if (!request.valid()) {
        return SendRefusal(refusal::kUnreadable);
    }
    Fields fields = ReadFields(request, {"Reguser", "Friend", "To", "Carrier", "Subject", "Body"});
    if (!fields.missing.empty()) {
        return SendRefusal(MissingField(fields.missing));
    }
    const auto user = m_store.sessionUser(fields.values[0]);
    if (!user) {
        return SendRefusal(refusal::kUnknownUser);
    }
    const std::string& friendText = fields.values[1];
    const auto friendId = ParseInteger(friendText);
    if (!friendId) {
        return SendRefusal(UnknownFriend(friendText));
    }

    OutboxMessage message;
    message.userId = user->id;
    message.friendId = *friendId;
    if (*friendId == 0) {
        message.number = fields.values[2];
        // The carrier comes with its "&" escaped twice, as in the address book update.
        message.carrier = DecodeClientAmpersands(fields.values[3]);
        if (!IsValidPhoneNumber(message.number)) {
            return SendRefusal(refusal::kBadNumber);
        }
        if (message.carrier.empty()) {
            return SendRefusal(refusal::kNoCarrier);
        }
        if (gateways().find(message.carrier) == nullptr) {
            return SendRefusal(UnknownCarrier(message.carrier));
        }
    }
    if (m_settings.deliveryOn && user->login == kDemoLogin) {
        return SendRefusal(refusal::kDemoNotDelivered);
    }
    if (m_settings.deliveryOn && m_settings.byCarrierGateway) {
        // Refused now rather than failed later: the user still has the text in the window.
        std::string carrier = message.carrier;
        std::string number = message.number;
        if (*friendId != 0) {
            const auto entry = m_store.findFriend(user->id, *friendId);
            if (!entry) {
                return SendRefusal(UnknownFriend(friendText));
            }
            carrier = entry->carrier;
            number = entry->number;
        }
        if (gateways().address(number, carrier).empty()) {
            return SendRefusal(std::string(refusal::kNoGateway) + Quoted(carrier) + std::string(refusal::kNoGatewayEnd));
        }
    }
    message.subject = std::move(fields.values[4]);
    message.body = std::move(fields.values[5]);
    if (!IsXmlText(message.subject) || !IsXmlText(message.body)) {
        return SendRefusal(refusal::kBadText);
    }
    if (IsBlank(message.body)) {
        return SendRefusal(refusal::kEmptyBody);
    }

    message.state = m_settings.deliveryOn ? delivery::kQueued : delivery::kOff;
    const OutboxResult result = m_store.addToOutbox(std::move(message));
    switch (result.status) {
    case OutboxResult::Status::Stored:
        break;
    case OutboxResult::Status::UnknownFriend:
        return SendRefusal(UnknownFriend(friendText));
    case OutboxResult::Status::OverMinuteLimit:
    case OutboxResult::Status::OverDayLimit:
        return SendRefusal(LimitRefusal(result, m_store.settings(), m_store.now()));
    }
    const OutboxMessage& stored = result.message;
    if (m_settings.console) {
        m_settings.console(ConsoleLine(stored, user->login, gateways()));
    }
    if (m_settings.deliveryOn && m_settings.queued) {
        m_settings.queued(); // the answer does not wait for the relay
    }

    pugi::xml_document doc;
    pugi::xml_node root = doc.append_child("response");
    AddText(root, "send", Join(kSentPrefix, " to " + stored.number + "."));
    AddText(root, "ad_text", "Vantro is free because of friendly little ads like this one.");
    AddText(root, "ad_link", "See what is new in Vantro");
    AddText(root, "ad_url",
            m_settings.publicUrl.empty() ? std::string() : m_settings.publicUrl + "/vantro_updates.aspx");
    return Serialize(doc);
}

} // namespace server
