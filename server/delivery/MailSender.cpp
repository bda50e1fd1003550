#include "server/delivery/MailSender.h"

#include "server/delivery/CredentialsFile.h"
#include "server/delivery/MailMessage.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include <arpa/inet.h>
#include <curl/curl.h>

namespace server {

namespace {

void InitCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Upload {
    const std::string* data;
    std::size_t offset = 0;
};

std::size_t ReadUpload(char* buffer, std::size_t size, std::size_t count, void* user) {
    auto* upload = static_cast<Upload*>(user);
    const std::size_t n = std::min(size * count, upload->data->size() - upload->offset);
    std::memcpy(buffer, upload->data->data() + upload->offset, n);
    upload->offset += n;
    return n;
}

// Keeps the relay's last reply line. Only what the relay says is looked at: the commands going
// out carry the credentials and are never kept.
int KeepReply(CURL*, curl_infotype type, char* text, std::size_t size, void* user) {
    if (type == CURLINFO_HEADER_IN) {
        std::string line(text, size);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.pop_back();
        }
        // "334" prompts of the login are part of the AUTH exchange, not an answer worth keeping.
        if (!line.empty() && !line.starts_with("334")) {
            *static_cast<std::string*>(user) = line;
        }
    }
    return 0;
}

int CheckCancel(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* cancel = static_cast<const std::atomic<bool>*>(user);
    return cancel != nullptr && cancel->load() ? 1 : 0;
}

} // namespace

void ReadCredentials(const std::string& path, SmtpSettings& settings) {
    auto credentials = ReadCredentialsFile(path, "SMTP");
    settings.user = std::move(credentials.user);
    settings.password = std::move(credentials.password);
}

void CheckSmtpSettings(const SmtpSettings& settings) {
    if (!settings.url.starts_with("smtps://") && !settings.url.starts_with("smtp://")) {
        throw std::runtime_error("--smtp needs an smtps:// or smtp:// address, not \"" + settings.url + "\"");
    }
    // user:password@ in the address would put the credentials on the command line and in the
    // console's start line; they belong in the credentials file.
    const auto authority = settings.url.substr(settings.url.find("://") + 3);
    if (authority.substr(0, authority.find('/')).find('@') != std::string::npos) {
        throw std::runtime_error("--smtp must not hold a user or password; use --smtp-credentials FILE");
    }
    // Without TLS, the messages and the relay's login would cross the network in the clear: only
    // a relay on this machine may go without.
    if (settings.insecure) {
        const std::string hostAndPort = authority.substr(0, authority.find('/'));
        const std::string host = hostAndPort.starts_with("[") ? hostAndPort.substr(0, hostAndPort.find(']') + 1)
                                                              : hostAndPort.substr(0, hostAndPort.find(':'));
        in_addr ipv4{};
        const bool loopbackIpv4 = inet_pton(AF_INET, host.c_str(), &ipv4) == 1 && (ntohl(ipv4.s_addr) >> 24) == 127;
        if (host != "localhost" && host != "[::1]" && !loopbackIpv4) {
            throw std::runtime_error("--smtp-insecure is only for a relay on this machine (localhost, 127.x.x.x or "
                                     "[::1]), not " +
                                     host);
        }
        // Not even on this machine: whoever can watch its loopback would read the relay's login.
        if (!settings.user.empty()) {
            throw std::runtime_error("--smtp-insecure cannot go with --smtp-credentials: the relay's login is never "
                                     "sent without TLS. Give the relay STARTTLS, or let it take mail from this machine "
                                     "without a login");
        }
    }
    if (settings.from.empty()) {
        throw std::runtime_error("--smtp needs --smtp-from, the sender address");
    }
    if (!IsPlainMailAddress(settings.from)) {
        throw std::runtime_error("--smtp-from needs a plain address such as sms@example.org, not \"" + settings.from +
                                 "\"");
    }
}

CurlMailSender::CurlMailSender(SmtpSettings settings, const std::atomic<bool>* cancel)
    : m_settings(std::move(settings)), m_cancel(cancel) {
    InitCurlOnce();
}

SendOutcome CurlMailSender::send(const std::string& from, const std::string& to, const std::string& data) {
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        return {SendOutcome::Kind::Temporary, "libcurl could not start a transfer"};
    }
    Upload upload{&data};
    std::string lastReply;
    char error[CURL_ERROR_SIZE] = {};
    const std::string mailFrom = "<" + from + ">";
    curl_slist* recipients = curl_slist_append(nullptr, ("<" + to + ">").c_str());

    curl_easy_setopt(curl, CURLOPT_URL, m_settings.url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    // A login goes over TLS or not at all, whatever `insecure` says.
    const bool plainAllowed = m_settings.insecure && m_settings.user.empty();
    curl_easy_setopt(curl, CURLOPT_USE_SSL, plainAllowed ? CURLUSESSL_TRY : CURLUSESSL_ALL);
    if (!m_settings.caFile.empty()) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, m_settings.caFile.c_str());
    }
    if (!m_settings.user.empty()) {
        curl_easy_setopt(curl, CURLOPT_USERNAME, m_settings.user.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, m_settings.password.c_str());
    }
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, mailFrom.c_str());
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, recipients);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadUpload);
    curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(data.size()));
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 120L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L); // feeds KeepReply; nothing is printed
    curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, KeepReply);
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &lastReply);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, CheckCancel);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, m_cancel);

    const CURLcode result = curl_easy_perform(curl);
    long code = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    // Taken before the cleanup, whose QUIT brings one more reply.
    std::string reply = lastReply;
    curl_easy_cleanup(curl);
    curl_slist_free_all(recipients);

    if (result == CURLE_OK) {
        return {SendOutcome::Kind::Delivered, reply};
    }
    if (reply.empty() || code < 400) {
        // No refusal from the relay: the connection failed or dropped; say how.
        reply = error[0] != '\0' ? std::string(error) : std::string(curl_easy_strerror(result));
    }
    // A refused login is the operator's to fix, not the message's fault: keep trying.
    const bool permanent = code >= 500 && code <= 599 && result != CURLE_LOGIN_DENIED;
    return {permanent ? SendOutcome::Kind::Permanent : SendOutcome::Kind::Temporary, reply};
}

} // namespace server
