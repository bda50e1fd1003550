#include "server/web/Verification.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>

#include <sodium.h>

namespace server {

namespace {

// Tables of their own, so that a store of any schema version gains them on first use.
constexpr const char* kTables = R"sql(
CREATE TABLE IF NOT EXISTS verification_codes (
    purpose    INTEGER NOT NULL,
    number     TEXT NOT NULL,
    code_hash  TEXT NOT NULL,
    expires_at INTEGER NOT NULL,
    tries      INTEGER NOT NULL DEFAULT 0,
    PRIMARY KEY (purpose, number)
);
CREATE TABLE IF NOT EXISTS code_requests (
    subject      TEXT NOT NULL,
    requested_at INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS code_requests_by_subject ON code_requests(subject, requested_at);
CREATE TABLE IF NOT EXISTS verified_numbers (
    number      TEXT PRIMARY KEY,
    carrier     TEXT NOT NULL,
    verified_at INTEGER NOT NULL
);
)sql";

constexpr std::int64_t kHour = 60 * 60;
constexpr std::int64_t kDay = 24 * kHour;

std::string NumberSubject(std::string_view number) { return "number:" + std::string(number); }
std::string AddressSubject(std::string_view address) { return "address:" + std::string(address); }

std::int64_t CountSince(Database& db, const std::string& subject, std::int64_t since) {
    Statement stmt(db, "SELECT count(*) FROM code_requests WHERE subject = ?1 AND requested_at > ?2");
    stmt.bind(1, subject).bind(2, since);
    stmt.step();
    return stmt.columnInt64(0);
}

} // namespace

std::int64_t SystemSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

Verification::Verification(Store& store, VerificationLimits limits, SecondsClock clock)
    : m_store(store), m_limits(limits), m_clock(std::move(clock)) {
    if (sodium_init() < 0) {
        throw std::runtime_error("libsodium cannot be initialised");
    }
    randombytes_buf(m_key.data(), m_key.size());
    m_store.withDatabase([](Database& db) { db.execute(kTables); });
}

std::int64_t Verification::now() const { return m_clock ? m_clock() : SystemSeconds(); }

std::string Verification::hashOf(CodePurpose purpose, std::string_view number, std::string_view code) const {
    // The purpose and number are hashed with the code, so a stored hash fits no other row.
    std::string input = purpose == CodePurpose::Registration ? "registration:" : "reset:";
    input += number;
    input += ':';
    input += code;
    std::array<unsigned char, crypto_generichash_BYTES> digest{};
    crypto_generichash(digest.data(), digest.size(), reinterpret_cast<const unsigned char*>(input.data()), input.size(),
                       m_key.data(), m_key.size());
    std::string hex(digest.size() * 2 + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), digest.data(), digest.size());
    hex.pop_back();
    return hex;
}

Verification::Request Verification::requestCode(CodePurpose purpose, std::string_view number,
                                                std::string_view clientAddress) {
    const std::int64_t at = now();
    const std::string numberSubject = NumberSubject(number);
    const std::string addressSubject = AddressSubject(clientAddress);

    char digits[8] = {};
    std::snprintf(digits, sizeof digits, "%06u", static_cast<unsigned>(randombytes_uniform(1000000)));
    Request request;
    request.code = digits;
    request.expiresAt = at + m_limits.codeLifetimeSeconds;
    const std::string hash = hashOf(purpose, number, request.code);

    return m_store.withDatabase([&](Database& db) {
        Transaction transaction(db);
        const struct {
            const std::string& subject;
            int perHour, perDay;
        } limits[] = {
            {numberSubject, m_limits.requestsPerHour, m_limits.requestsPerDay},
            {addressSubject, m_limits.addressRequestsPerHour, m_limits.addressRequestsPerDay},
        };
        for (const auto& limit : limits) {
            if (CountSince(db, limit.subject, at - kHour) >= limit.perHour) {
                return Request{RequestOutcome::LimitedForAnHour, {}, 0};
            }
            if (CountSince(db, limit.subject, at - kDay) >= limit.perDay) {
                return Request{RequestOutcome::LimitedForADay, {}, 0};
            }
        }
        Statement prune(db, "DELETE FROM code_requests WHERE requested_at <= ?1");
        prune.bind(1, at - kDay).run();
        Statement count(db, "INSERT INTO code_requests(subject, requested_at) VALUES (?1, ?3), (?2, ?3)");
        count.bind(1, numberSubject).bind(2, addressSubject).bind(3, at).run();
        Statement forget(db, "DELETE FROM verification_codes WHERE expires_at <= ?1");
        forget.bind(1, at).run();
        Statement store(db, "INSERT OR REPLACE INTO verification_codes(purpose, number, code_hash, expires_at, tries) "
                            "VALUES (?1, ?2, ?3, ?4, 0)");
        store.bind(1, static_cast<std::int64_t>(purpose)).bind(2, number).bind(3, hash).bind(4, request.expiresAt);
        store.run();
        transaction.commit();
        return request;
    });
}

Verification::Check Verification::checkCode(CodePurpose purpose, std::string_view number, std::string_view typed) {
    const std::int64_t at = now();
    const std::string typedHash = hashOf(purpose, number, typed);
    return m_store.withDatabase([&](Database& db) {
        Transaction transaction(db);
        Statement find(db, "SELECT code_hash, expires_at, tries FROM verification_codes "
                           "WHERE purpose = ?1 AND number = ?2");
        find.bind(1, static_cast<std::int64_t>(purpose)).bind(2, number);
        if (!find.step()) {
            return Check{CheckOutcome::Expired, 0};
        }
        const std::string storedHash = find.columnText(0);
        const std::int64_t expiresAt = find.columnInt64(1);
        const std::int64_t tries = find.columnInt64(2);
        const auto drop = [&] {
            Statement remove(db, "DELETE FROM verification_codes WHERE purpose = ?1 AND number = ?2");
            remove.bind(1, static_cast<std::int64_t>(purpose)).bind(2, number).run();
            transaction.commit();
        };
        if (at >= expiresAt) {
            drop();
            return Check{CheckOutcome::Expired, 0};
        }
        if (tries >= m_limits.triesPerCode) {
            return Check{CheckOutcome::TriesUsedUp, 0};
        }
        const bool matched = storedHash.size() == typedHash.size() &&
                             sodium_memcmp(storedHash.data(), typedHash.data(), storedHash.size()) == 0;
        if (matched) {
            drop();
            return Check{CheckOutcome::Matched, 0};
        }
        Statement count(db, "UPDATE verification_codes SET tries = tries + 1 WHERE purpose = ?1 AND number = ?2");
        count.bind(1, static_cast<std::int64_t>(purpose)).bind(2, number).run();
        transaction.commit();
        return Check{CheckOutcome::Wrong, static_cast<int>(m_limits.triesPerCode - tries - 1)};
    });
}

void Verification::rememberCarrier(std::string_view number, std::string_view carrier) {
    const std::int64_t at = now();
    m_store.withDatabase([&](Database& db) {
        Statement stmt(db, "INSERT OR REPLACE INTO verified_numbers(number, carrier, verified_at) VALUES (?1, ?2, ?3)");
        stmt.bind(1, number).bind(2, carrier).bind(3, at).run();
    });
}

std::optional<std::string> Verification::carrierOf(std::string_view number) {
    return m_store.withDatabase([&](Database& db) -> std::optional<std::string> {
        Statement stmt(db, "SELECT carrier FROM verified_numbers WHERE number = ?1");
        stmt.bind(1, number);
        if (!stmt.step()) {
            return std::nullopt;
        }
        return stmt.columnText(0);
    });
}

} // namespace server
