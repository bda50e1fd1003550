#pragma once

// Hands one text to the SMS gateway's sendsms interface (Kannel's smsbox) over HTTP, and tells
// from its answer whether it took the text, refused it, or could not be asked.

#include "server/delivery/GsmAlphabet.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace server {

struct SmsGatewaySettings {
    // The sendsms URL, e.g. http://127.0.0.1:13013/cgi-bin/sendsms.
    std::string url;
    // The sendsms user, read from the credentials file.
    std::string username;
    std::string password;
    // The sender: an E.164 number (+ and digits) or a short code (digits).
    std::string from;
};

// Reads "username:password" from the first line of `path`, by the rule of every credentials file
// (CredentialsFile.h).
void ReadSmsGatewayCredentials(const std::string& path, SmsGatewaySettings& settings);

// Checks the url (http or https, no user or password in it) and the sender; throws
// std::runtime_error with the reason.
void CheckSmsGatewaySettings(const SmsGatewaySettings& settings);

// "+1" and the 10 digits of a US number, as the gateway gets it.
std::string E164FromUsNumber(std::string_view tenDigits);

// The text of a message: its subject, a line break and its body, or the body alone; the body's
// line breaks stay as they are.
std::string SmsText(std::string_view subject, std::string_view body);

struct SmsSubmission {
    std::string to;   // E.164
    std::string text; // UTF-8; its coding is chosen from its characters
    // Where the gateway reports what became of the message; empty: no reports.
    std::string dlrUrl;
    // Minutes the SMSC may keep trying; 0 leaves it to the SMSC.
    int validityMinutes = 0;
};

struct SmsOutcome {
    enum class Kind {
        Accepted,  // "0: Accepted for delivery" or "3: Queued for later delivery"
        Temporary, // unreachable, a 5xx, a time-out, an answer that is not the gateway's: try again
        Permanent, // an explicit refusal (4xx): a bad number, a refused login
    };
    Kind kind = Kind::Temporary;
    // The gateway's answer ("0: Accepted for delivery", "Authorization failed for sendsms") or,
    // without one, what went wrong on the way. Never holds the credentials.
    std::string reply;
};

// What the gateway was asked for: the form fields of the sendsms request, in order, without the
// credentials. Exposed so that a test can see the choices made for a text.
struct SmsRequestFields {
    std::string to;
    std::string from;
    std::string text;
    SmsCoding coding = SmsCoding::Gsm7;
};
SmsRequestFields SmsFieldsFor(const SmsGatewaySettings& settings, const SmsSubmission& submission);

// Sorts the gateway's answer; `transportError` is empty when an HTTP answer arrived.
SmsOutcome ClassifySmsAnswer(long httpStatus, std::string_view body, std::string_view transportError);

// What one of the gateway's delivery reports says, from its type (Kannel's %d: 1 delivered,
// 2 undeliverable, 4 buffered on the SMSC, 8 taken by the SMSC, 16 refused by the SMSC) and its
// text (%A: the SMSC's receipt, "id:... stat:DELIVRD err:000 ...", or its refusal,
// "NACK/0x0000000b/..."). Nothing for a type it does not know.
struct ReportedState {
    std::string_view state; // delivery::kSubmitted, kDelivered, kFailed or kExpired
    std::string reason;     // for a failure or an expiry: the report's text
};
std::optional<ReportedState> ReadKannelReport(std::string_view type, std::string_view text);

class SmsSender {
public:
    virtual ~SmsSender() = default;
    virtual SmsOutcome submit(const SmsSubmission& submission) = 0;
};

// Safe to call from several threads at once. One POST per message: the text as the body, the other fields in X-Kannel-* headers, so that
// the password never stands in a URL a log might keep.
class KannelSmsSender : public SmsSender {
public:
    // `cancel`, when given and set, aborts a request in progress (the service is stopping).
    explicit KannelSmsSender(SmsGatewaySettings settings, const std::atomic<bool>* cancel = nullptr);
    SmsOutcome submit(const SmsSubmission& submission) override;

private:
    struct CurlDeleter {
        void operator()(void* curl) const;
    };
    // An idle handle, or a new one (null when libcurl cannot make one).
    std::unique_ptr<void, CurlDeleter> takeHandle();

    SmsGatewaySettings m_settings;
    const std::atomic<bool>* m_cancel;
    std::mutex m_mutex; // guards m_idle
    // Handles between requests, each keeping its connection to the gateway open; one per request
    // in flight at most.
    std::vector<std::unique_ptr<void, CurlDeleter>> m_idle;
};

} // namespace server
