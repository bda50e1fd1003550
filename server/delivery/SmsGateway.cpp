#include "server/delivery/SmsGateway.h"

#include "server/delivery/CredentialsFile.h"
#include "server/delivery/DeliveryQueue.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include <curl/curl.h>

namespace server {

namespace {

// Bounds an attempt against a gateway that accepts the connection and never answers; the next
// attempt follows the retry schedule.
constexpr long kConnectTimeoutSeconds = 10;
constexpr long kTimeoutSeconds = 30;
// Kept of the gateway's answer: its status line is short, anything longer is not Kannel's.
constexpr std::size_t kMaxReply = 200;

void InitCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}


std::size_t KeepBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* body = static_cast<std::string*>(user);
    const std::size_t n = size * count;
    // Only the start is kept; the rest is read and dropped so that the transfer completes.
    body->append(data, std::min(n, kMaxReply * 4 > body->size() ? kMaxReply * 4 - body->size() : 0));
    return n;
}

int CheckCancel(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* cancel = static_cast<const std::atomic<bool>*>(user);
    return cancel != nullptr && cancel->load() ? 1 : 0;
}

// The answer on one line, trimmed and bounded, for the outbox and the log.
std::string ReplyText(std::string_view body) {
    std::string text;
    for (const char c : body) {
        if (text.size() >= kMaxReply) {
            break;
        }
        text += (c == '\r' || c == '\n' || c == '\t') ? ' ' : c;
    }
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

bool AllDigits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

} // namespace

void ReadSmsGatewayCredentials(const std::string& path, SmsGatewaySettings& settings) {
    auto credentials = ReadCredentialsFile(path, "SMS gateway");
    settings.username = std::move(credentials.user);
    settings.password = std::move(credentials.password);
}

void CheckSmsGatewaySettings(const SmsGatewaySettings& settings) {
    if (!settings.url.starts_with("http://") && !settings.url.starts_with("https://")) {
        throw std::runtime_error("--sms-gateway needs an http:// or https:// address, not \"" + settings.url + "\"");
    }
    // Credentials in the address would stand on the command line and in the start line.
    const auto rest = settings.url.substr(settings.url.find("://") + 3);
    if (rest.substr(0, rest.find('/')).find('@') != std::string::npos ||
        rest.find("password=") != std::string::npos || rest.find("username=") != std::string::npos) {
        throw std::runtime_error(
            "--sms-gateway must not hold a user or password; use --sms-gateway-credentials FILE");
    }
    if (settings.username.empty()) {
        throw std::runtime_error("--sms-gateway needs --sms-gateway-credentials FILE, holding username:password");
    }
    // They travel in request headers, where a control character would end the line.
    const auto plain = [](std::string_view text) {
        return std::none_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
    };
    if (!plain(settings.username) || !plain(settings.password)) {
        throw std::runtime_error("the SMS gateway credentials file holds a control character");
    }
    const std::string_view from = settings.from;
    const bool e164 = from.size() >= 4 && from.size() <= 16 && from[0] == '+' && AllDigits(from.substr(1));
    const bool shortCode = from.size() >= 3 && from.size() <= 8 && AllDigits(from);
    if (!e164 && !shortCode) {
        throw std::runtime_error(
            "--sms-from needs the sender's number in E.164 form (+ and up to 15 digits) or a short code, not \"" +
            settings.from + "\"");
    }
}

std::string SmsText(std::string_view subject, std::string_view body) {
    return subject.empty() ? std::string(body) : std::string(subject) + "\n" + std::string(body);
}

std::string E164FromUsNumber(std::string_view tenDigits) { return "+1" + std::string(tenDigits); }

SmsRequestFields SmsFieldsFor(const SmsGatewaySettings& settings, const SmsSubmission& submission) {
    return {submission.to, settings.from, submission.text, ChooseSmsCoding(submission.text)};
}

SmsOutcome ClassifySmsAnswer(long httpStatus, std::string_view body, std::string_view transportError) {
    if (!transportError.empty()) {
        return {SmsOutcome::Kind::Temporary, std::string(transportError)};
    }
    std::string reply = ReplyText(body);
    if (reply.empty()) {
        reply = "HTTP " + std::to_string(httpStatus);
    }
    // Only the gateway's own words of acceptance end the retries: any other 2xx may be a proxy
    // or a wrong address answering, and a text taken for sent would then be lost.
    if (httpStatus >= 200 && httpStatus < 300 && (body.starts_with("0: ") || body.starts_with("3: "))) {
        return {SmsOutcome::Kind::Accepted, reply};
    }
    if (httpStatus >= 400 && httpStatus < 500) {
        return {SmsOutcome::Kind::Permanent, reply};
    }
    return {SmsOutcome::Kind::Temporary, reply};
}

std::optional<ReportedState> ReadKannelReport(std::string_view type, std::string_view text) {
    const std::string reason = ReplyText(text);
    if (type == "1") {
        return ReportedState{delivery::kDelivered, {}};
    }
    if (type == "2") {
        // The SMSC gave up; its receipt says whether for lack of time.
        const bool expired = text.find("stat:EXPIRED") != std::string_view::npos;
        return ReportedState{expired ? delivery::kExpired : delivery::kFailed, reason};
    }
    if (type == "4" || type == "8") {
        return ReportedState{delivery::kSubmitted, {}};
    }
    if (type == "16") {
        return ReportedState{delivery::kFailed, "refused by the SMSC: " + reason};
    }
    return std::nullopt;
}

void KannelSmsSender::CurlDeleter::operator()(void* curl) const { curl_easy_cleanup(static_cast<CURL*>(curl)); }

KannelSmsSender::KannelSmsSender(SmsGatewaySettings settings, const std::atomic<bool>* cancel)
    : m_settings(std::move(settings)), m_cancel(cancel) {
    InitCurlOnce();
}

namespace {

// smsbox takes a POST as the text in the body and every other field in an X-Kannel header.
std::vector<std::string> KannelHeaderLines(const SmsGatewaySettings& settings, const SmsSubmission& submission,
                                           const SmsRequestFields& fields) {
    std::vector<std::string> lines{
        "Content-Type: text/plain; charset=UTF-8",
        "X-Kannel-Username: " + settings.username,
        "X-Kannel-Password: " + settings.password,
        "X-Kannel-From: " + fields.from,
        "X-Kannel-To: " + fields.to,
        "X-Kannel-Coding: " + std::to_string(static_cast<int>(fields.coding)),
    };
    if (!submission.dlrUrl.empty()) {
        // Delivered, failed, buffered, submitted and rejected: 1 + 2 + 4 + 8 + 16.
        lines.push_back("X-Kannel-DLR-Mask: 31");
        lines.push_back("X-Kannel-DLR-URL: " + submission.dlrUrl);
    }
    if (submission.validityMinutes > 0) {
        lines.push_back("X-Kannel-Validity: " + std::to_string(submission.validityMinutes));
    }
    // No Expect: 100-continue, which smsbox does not answer: libcurl would wait a second for it.
    lines.push_back("Expect:");
    return lines;
}

using HeaderList = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;

// Null when libcurl is out of memory.
HeaderList ToHeaderList(const std::vector<std::string>& lines) {
    HeaderList headers(nullptr, curl_slist_free_all);
    for (const auto& line : lines) {
        curl_slist* appended = curl_slist_append(headers.get(), line.c_str());
        if (appended == nullptr) {
            return HeaderList(nullptr, curl_slist_free_all);
        }
        headers.release();
        headers.reset(appended);
    }
    return headers;
}

} // namespace

std::unique_ptr<void, KannelSmsSender::CurlDeleter> KannelSmsSender::takeHandle() {
    {
        std::lock_guard lock(m_mutex);
        if (!m_idle.empty()) {
            auto curl = std::move(m_idle.back());
            m_idle.pop_back();
            return curl;
        }
    }
    return std::unique_ptr<void, CurlDeleter>(curl_easy_init());
}

SmsOutcome KannelSmsSender::submit(const SmsSubmission& submission) {
    std::unique_ptr<void, CurlDeleter> curl = takeHandle();
    if (!curl) {
        return {SmsOutcome::Kind::Temporary, "libcurl could not start a transfer"};
    }
    // The handle goes back for the next text, so that its connection to the gateway stays open.
    struct GiveBack {
        KannelSmsSender& sender;
        std::unique_ptr<void, CurlDeleter>& curl;
        ~GiveBack() {
            std::lock_guard lock(sender.m_mutex);
            sender.m_idle.push_back(std::move(curl));
        }
    } giveBack{*this, curl};
    CURL* handle = curl.get();
    curl_easy_reset(handle);
    const SmsRequestFields fields = SmsFieldsFor(m_settings, submission);
    const HeaderList headers = ToHeaderList(KannelHeaderLines(m_settings, submission, fields));
    if (!headers) {
        return {SmsOutcome::Kind::Temporary, "libcurl could not build the request"};
    }

    std::string body;
    char error[CURL_ERROR_SIZE] = {};
    const bool configured =
        curl_easy_setopt(handle, CURLOPT_URL, m_settings.url.c_str()) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, fields.text.c_str()) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(fields.text.size())) ==
            CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, KeepBody) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &body) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_TIMEOUT, kTimeoutSeconds) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, CheckCancel) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_XFERINFODATA, m_cancel) == CURLE_OK;
    if (!configured) {
        return {SmsOutcome::Kind::Temporary, "libcurl refused an option"};
    }
    const CURLcode result = curl_easy_perform(handle);
    if (result != CURLE_OK) {
        // The error buffer names the host and port at most; the credentials are in headers.
        return ClassifySmsAnswer(0, {}, error[0] != '\0' ? error : curl_easy_strerror(result));
    }
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    return ClassifySmsAnswer(status, body, {});
}

} // namespace server
