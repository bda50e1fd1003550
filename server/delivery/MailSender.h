#pragma once

// Hands one composed e-mail to the SMTP relay.

#include <atomic>
#include <string>

namespace server {

struct SendOutcome {
    enum class Kind {
        Delivered, // the relay took the message
        Temporary, // 4xx, a dropped connection, a relay that is down: try again later
        Permanent, // 5xx to the sender, recipient or message: trying again cannot help
    };
    Kind kind = Kind::Temporary;
    // The relay's last reply ("250 2.0.0 Queued", "550 5.1.1 No such user") or, without one,
    // what went wrong on the way ("Could not connect to server"). Never holds credentials.
    std::string reply;
};

class MailSender {
public:
    virtual ~MailSender() = default;
    // `data` is the whole message, lines ended by CR LF (ComposeMail).
    virtual SendOutcome send(const std::string& from, const std::string& to, const std::string& data) = 0;
};

struct SmtpSettings {
    // smtps://host:465 (TLS from the start) or smtp://host:587 (STARTTLS, required unless
    // `insecure`).
    std::string url;
    std::string from;
    // "user:password", read from the credentials file; empty: no AUTH.
    std::string user;
    std::string password;
    // Allows a relay without TLS, on this machine and without a login: the login is only ever
    // sent over TLS. Certificates are checked whenever TLS is used.
    bool insecure = false;
    // The certificates the relay's is checked against; empty: the system's.
    std::string caFile;
};

// Reads "user:password" from the first line of `path`. Throws std::runtime_error naming the file,
// never its content, when it cannot be read, has no colon, or other users may read it.
void ReadCredentials(const std::string& path, SmtpSettings& settings);

// Checks the url's scheme and the sender address, and that `insecure` names a relay on this
// machine and comes without a login; throws std::runtime_error with the reason.
void CheckSmtpSettings(const SmtpSettings& settings);

// Over libcurl's SMTP, one connection per message.
class CurlMailSender : public MailSender {
public:
    // `cancel`, when given and set, aborts a transfer in progress (the service is stopping).
    explicit CurlMailSender(SmtpSettings settings, const std::atomic<bool>* cancel = nullptr);
    SendOutcome send(const std::string& from, const std::string& to, const std::string& data) override;

private:
    SmtpSettings m_settings;
    const std::atomic<bool>* m_cancel;
};

} // namespace server
