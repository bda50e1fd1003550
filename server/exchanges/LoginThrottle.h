#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace server {

struct ThrottleSettings {
    // Consecutive failed logins, for one login or from one client address, before a pause.
    int failuresBeforePause = 5;
    // The first pause in seconds; it doubles with each further failure, up to the longest.
    int firstPauseSeconds = 2;
    int longestPauseSeconds = 15 * 60;
};

// Holds off password guessing: after a run of failed logins for a login, or from an address,
// further attempts are refused, without looking at the password, until a pause has passed.
// Safe to use from several threads.
class LoginThrottle {
public:
    explicit LoginThrottle(ThrottleSettings settings = {}) : m_settings(settings) {}

    // Seconds until an attempt for the login from the address may be made again; nothing when it
    // may be made now.
    std::optional<std::int64_t> pauseLeft(std::string_view login, std::string_view address, std::int64_t now);
    void failed(std::string_view login, std::string_view address, std::int64_t now);
    // Ends the login's run of failures. The address's run goes on: a guesser who also knows one
    // password (the demo user's) must not be able to wipe the count of its guesses.
    void succeeded(std::string_view login);

private:
    struct Record {
        int failures = 0;
        std::int64_t lastFailure = 0;
        std::int64_t pausedUntil = 0;
    };
    using Records = std::unordered_map<std::string, Record>;

    void fail(Records& records, std::string_view key, std::int64_t now);
    void forgetOld(Records& records, std::int64_t now);

    ThrottleSettings m_settings;
    std::mutex m_mutex;
    Records m_byLogin;
    Records m_byAddress;
};

} // namespace server
