// POST /vantro_login.aspx: a session for a login and password.

#include "server/exchanges/AnswerXml.h"
#include "server/exchanges/Exchanges.h"
#include "server/store/Passwords.h"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

namespace server {

namespace {

constexpr std::string_view kLoginFailed = "Login Failed: ";

using Credentials = std::pair<std::string, std::string>; // login, password

std::string LoginAnswer(bool accepted, std::string_view text) {
    pugi::xml_document doc;
    pugi::xml_node root = doc.append_child("login");
    answer::AddText(root, "result", accepted ? "TRUE" : "FALSE");
    answer::AddText(root, "string", text);
    return answer::Serialize(doc);
}

std::string LoginRefusal(std::string_view text) { return LoginAnswer(false, answer::Join(kLoginFailed, text)); }

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

// The client inserts login and password unescaped, so the text between the tags is what the user
// typed, also when it makes the document ill-formed. A well-formed document is read as XML as
// well, for a client that does escape. The raw reading comes first.
std::vector<Credentials> CandidateCredentials(std::string_view body) {
    std::vector<Credentials> candidates;
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
    return candidates;
}

std::string PauseRefusal(std::int64_t seconds) {
    return "Too many failed logins. Please try again in " + std::to_string(seconds) +
           (seconds == 1 ? " second." : " seconds.");
}

} // namespace

std::string Exchanges::login(std::string_view body, std::string_view clientAddress) {
    if (IsOversizedRequest(body)) {
        return LoginRefusal(refusal::kTooLarge);
    }
    std::vector<Credentials> candidates = CandidateCredentials(body);
    if (candidates.empty()) {
        return LoginRefusal(refusal::kUnreadable);
    }
    std::erase_if(candidates, [](const Credentials& pair) { return pair.first.empty() || pair.second.empty(); });
    if (candidates.empty()) {
        return LoginRefusal(refusal::kEmptyLogin);
    }
    // Both readings must name the same login. A phone number never holds a comment, CDATA or an
    // entity, so a login written with one is a disguise, meant to be counted under another name
    // than the user it reaches: refused like a wrong password, and counted.
    const std::string& login = candidates.front().first;
    const bool disguised =
        std::any_of(candidates.begin(), candidates.end(), [&](const Credentials& pair) { return pair.first != login; });
    std::optional<User> user;
    for (auto candidate = candidates.begin(); candidate != candidates.end() && !user; ++candidate) {
        user = m_store.findUserByLogin(candidate->first);
    }
    const std::string counted = CountedLogin(user, login);
    if (const auto pause = m_throttle.pauseLeft(counted, clientAddress, m_store.now())) {
        return LoginRefusal(PauseRefusal(*pause));
    }
    if (!user || disguised) {
        VerifyNothing(candidates.front().second);
    } else {
        for (const auto& [candidateLogin, password] : candidates) {
            if (VerifyPassword(user->passwordHash, password)) {
                m_throttle.succeeded(counted);
                return LoginAnswer(true, m_store.startSession(user->id));
            }
        }
    }
    m_throttle.failed(counted, clientAddress, m_store.now());
    return LoginRefusal(refusal::kBadLogin);
}

std::string Exchanges::refuseLogin(std::string_view reason) const { return LoginRefusal(reason); }

} // namespace server
