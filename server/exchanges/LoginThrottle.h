#pragma once

#include "server/store/Store.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace server {

struct ThrottleSettings {
    // Consecutive failed logins, for one login or from one client address, before a pause.
    int failuresBeforePause = 5;
    // The first pause in seconds; it doubles with each further failure, up to the longest.
    int firstPauseSeconds = 2;
    int longestPauseSeconds = 15 * 60;
};

// Holds off password guessing: after a run of failed logins for a login, or from an address,
// further attempts are refused, without looking at the password, until a pause has passed. The
// runs live in the store, so that a guesser gains nothing by spreading attempts over the service
// processes that share it. Safe to use from several threads.
// What a password check through the throttle came to.
struct PasswordCheck {
    enum class Outcome { Right, Wrong, Paused };
    Outcome outcome = Outcome::Wrong;
    std::int64_t pauseSeconds = 0; // Paused: seconds until the next attempt may be made
    std::optional<User> user;      // Right: whose password it is
};

// The subject a login's failures are counted under: the user the store matched, whatever text
// named it, so that one user's count cannot be split over spellings; the text itself otherwise.
std::string CountedLogin(const std::optional<User>& user, std::string_view login);

class LoginThrottle {
public:
    explicit LoginThrottle(Store& store, ThrottleSettings settings = {}) : m_store(store), m_settings(settings) {}

    // Seconds until an attempt for the login from the address may be made again; nothing when it
    // may be made now.
    std::optional<std::int64_t> pauseLeft(std::string_view login, std::string_view address, std::int64_t now);
    void failed(std::string_view login, std::string_view address, std::int64_t now);
    // Ends the login's run of failures. The address's run goes on: a guesser who also knows one
    // password (the demo user's) must not be able to wipe the count of its guesses.
    void succeeded(std::string_view login);

    // Checks one login and password as the login exchange does, paused, counted and timed alike
    // (the web pages' sign-in and their confirmations by password).
    PasswordCheck check(std::string_view login, std::string_view password, std::string_view address);

private:
    void count(LoginFailures& run, std::int64_t now) const;

    Store& m_store;
    ThrottleSettings m_settings;
};

} // namespace server
