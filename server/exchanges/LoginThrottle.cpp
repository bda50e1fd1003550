#include "server/exchanges/LoginThrottle.h"

#include <algorithm>

namespace server {

namespace {

// Logins are 10-digit numbers; a longer text is counted by its beginning, so that made-up logins of
// kilobytes do not take kilobytes each.
constexpr std::size_t kKeyLength = 64;

std::string Key(std::string_view text) { return std::string(text.substr(0, kKeyLength)); }

// Past this many records, those whose run of failures has gone stale are dropped, so that made-up
// logins cannot grow the tables without end.
constexpr std::size_t kRecordsBeforeCleanUp = 10000;

} // namespace

std::optional<std::int64_t> LoginThrottle::pauseLeft(std::string_view login, std::string_view address,
                                                     std::int64_t now) {
    std::lock_guard lock(m_mutex);
    std::int64_t until = 0;
    for (auto* records : {&m_byLogin, &m_byAddress}) {
        const auto found = records->find(Key(records == &m_byLogin ? login : address));
        if (found != records->end()) {
            until = std::max(until, found->second.pausedUntil);
        }
    }
    if (until > now) {
        return until - now;
    }
    return std::nullopt;
}

void LoginThrottle::fail(Records& records, std::string_view key, std::int64_t now) {
    if (records.size() >= kRecordsBeforeCleanUp) {
        forgetOld(records, now);
    }
    Record& record = records[Key(key)];
    // A run of failures ends when the last one is older than the longest pause.
    if (now - record.lastFailure > m_settings.longestPauseSeconds) {
        record = Record{};
    }
    ++record.failures;
    record.lastFailure = now;
    const int beyond = record.failures - m_settings.failuresBeforePause;
    if (beyond >= 0) {
        std::int64_t pause = m_settings.firstPauseSeconds;
        for (int i = 0; i < beyond && pause < m_settings.longestPauseSeconds; ++i) {
            pause *= 2;
        }
        record.pausedUntil = now + std::min<std::int64_t>(pause, m_settings.longestPauseSeconds);
    }
}

void LoginThrottle::forgetOld(Records& records, std::int64_t now) {
    std::erase_if(records, [&](const auto& entry) {
        return now - entry.second.lastFailure > m_settings.longestPauseSeconds && entry.second.pausedUntil <= now;
    });
    if (records.size() >= kRecordsBeforeCleanUp) {
        // A flood of fresh records: keep those that hold a pause.
        std::erase_if(records, [&](const auto& entry) { return entry.second.pausedUntil <= now; });
    }
}

void LoginThrottle::failed(std::string_view login, std::string_view address, std::int64_t now) {
    std::lock_guard lock(m_mutex);
    fail(m_byLogin, login, now);
    fail(m_byAddress, address, now);
}

void LoginThrottle::succeeded(std::string_view login) {
    std::lock_guard lock(m_mutex);
    m_byLogin.erase(Key(login));
}

} // namespace server
