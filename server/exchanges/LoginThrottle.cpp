#include "server/exchanges/LoginThrottle.h"

#include "server/store/Passwords.h"

#include <algorithm>
#include <string>

namespace server {

namespace {

// Logins are 10-digit numbers; a longer text is counted by its beginning, so that made-up logins of
// kilobytes do not take kilobytes each.
constexpr std::size_t kKeyLength = 64;

// The store keeps logins and addresses in one table; the prefixes keep them apart.
std::string LoginSubject(std::string_view login) { return "login " + std::string(login.substr(0, kKeyLength)); }
std::string AddressSubject(std::string_view address) { return "address " + std::string(address.substr(0, kKeyLength)); }

} // namespace

std::string CountedLogin(const std::optional<User>& user, std::string_view login) {
    return user ? "user " + std::to_string(user->id) : std::string(login);
}

std::optional<std::int64_t> LoginThrottle::pauseLeft(std::string_view login, std::string_view address,
                                                     std::int64_t now) {
    const std::int64_t until = m_store.loginPausedUntil(LoginSubject(login), AddressSubject(address));
    if (until > now) {
        return until - now;
    }
    return std::nullopt;
}

void LoginThrottle::count(LoginFailures& run, std::int64_t now) const {
    // A run of failures ends when the last one is older than the longest pause.
    if (now - run.lastFailure > m_settings.longestPauseSeconds) {
        run = LoginFailures{};
    }
    ++run.failures;
    run.lastFailure = now;
    const std::int64_t beyond = run.failures - m_settings.failuresBeforePause;
    if (beyond >= 0) {
        std::int64_t pause = m_settings.firstPauseSeconds;
        for (std::int64_t i = 0; i < beyond && pause < m_settings.longestPauseSeconds; ++i) {
            pause *= 2;
        }
        run.pausedUntil = now + std::min<std::int64_t>(pause, m_settings.longestPauseSeconds);
    }
}

void LoginThrottle::failed(std::string_view login, std::string_view address, std::int64_t now) {
    // A run whose last failure is older than the longest pause holds no pause and would start
    // over: it can go.
    m_store.countLoginFailure(LoginSubject(login), AddressSubject(address), now - m_settings.longestPauseSeconds,
                              [&](LoginFailures& run) { count(run, now); });
}

void LoginThrottle::succeeded(std::string_view login) { m_store.forgetLoginFailures({LoginSubject(login)}); }

PasswordCheck LoginThrottle::check(std::string_view login, std::string_view password, std::string_view address) {
    std::optional<User> user = m_store.findUserByLogin(login);
    const std::string counted = CountedLogin(user, login);
    if (const auto pause = pauseLeft(counted, address, m_store.now())) {
        return {PasswordCheck::Outcome::Paused, *pause, std::nullopt};
    }
    if (!user) {
        VerifyNothing(password);
    } else if (VerifyPassword(user->passwordHash, password)) {
        succeeded(counted);
        return {PasswordCheck::Outcome::Right, 0, std::move(user)};
    }
    failed(counted, address, m_store.now());
    return {PasswordCheck::Outcome::Wrong, 0, std::nullopt};
}

} // namespace server
