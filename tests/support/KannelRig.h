#pragma once

// The SMS gateway for tests: Debian's bearerbox and smsbox, started on free ports of 127.0.0.1
// with a configuration written into a folder of their own, their SMSC link pointed at a fake
// SMSC. The constructor returns once the admin status shows smsbox connected and the link
// online; the destructor stops both (their whole process groups) and removes the folder.

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/types.h>

namespace fakesmsc {

struct KannelRigOptions {
    int smscPort = 0; // where the fake SMSC listens
    // Submits Kannel keeps in flight on the SMPP link before waiting for answers.
    int maxPendingSubmits = 10;
    // Kannel's log-level: 0 logs every PDU and request, for a failing test's log tail; 1, as
    // operators run it, costs the boxes far less CPU under load.
    int logLevel = 0;
};

class KannelRig {
public:
    static constexpr const char* kBearerbox = "/usr/sbin/bearerbox";
    static constexpr const char* kSmsbox = "/usr/sbin/smsbox";
    // False when Debian's kannel is not installed, for a test to skip with a reason.
    static bool installed();

    // Throws std::runtime_error with the tail of the logs when Kannel does not come up in time.
    explicit KannelRig(KannelRigOptions options);
    ~KannelRig();
    KannelRig(const KannelRig&) = delete;
    KannelRig& operator=(const KannelRig&) = delete;

    // http://127.0.0.1:PORT/cgi-bin/sendsms
    std::string sendsmsUrl() const;
    const std::string& username() const { return m_username; }
    const std::string& password() const { return m_password; }
    // A file holding "username:password", as an operator writes it.
    std::filesystem::path credentialsFile() const { return m_folder / "sendsms-credentials"; }
    std::filesystem::path folder() const { return m_folder; }

    // Stops smsbox alone: sendsms is then unreachable, while bearerbox keeps the link.
    void stopSmsbox();
    // Starts it again and waits until it is connected to bearerbox.
    void startSmsbox();

    // The admin status page (status.xml); empty when bearerbox does not answer.
    std::string status() const;
    // The last lines of both logs, for failure messages.
    std::string logTail() const;

private:
    pid_t spawn(const char* program, const std::string& logName);
    void waitUntil(const char* what, const std::function<bool()>& ready);
    static void stopProcess(pid_t& pid);

    KannelRigOptions m_options;
    std::filesystem::path m_folder;
    std::string m_username = "vantro";
    std::string m_password;
    std::string m_adminPassword;
    int m_adminPort = 0;
    int m_smsboxPort = 0;
    int m_sendsmsPort = 0;
    pid_t m_bearerbox = -1;
    pid_t m_smsbox = -1;
};

} // namespace fakesmsc
