#include "server/web/Verification.h"

#include "server/store/Codes.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>

#include <sodium.h>

namespace server {

namespace {

constexpr std::int64_t kHour = 60 * 60;
constexpr std::int64_t kDay = 24 * kHour;

std::string NumberSubject(std::string_view number) { return "number:" + std::string(number); }
std::string AddressSubject(std::string_view address) { return "address:" + std::string(address); }

} // namespace

std::int64_t SystemSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

Verification::Verification(Store& store, VerificationLimits limits, SecondsClock clock, std::string_view keySecret)
    : m_store(store), m_limits(limits), m_clock(std::move(clock)) {
    if (sodium_init() < 0) {
        throw std::runtime_error("libsodium cannot be initialised");
    }
    if (keySecret.empty()) {
        randombytes_buf(m_key.data(), m_key.size());
    } else {
        crypto_generichash(m_key.data(), m_key.size(), reinterpret_cast<const unsigned char*>(keySecret.data()),
                           keySecret.size(), nullptr, 0);
    }
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
        Codes codes(db);
        codes.holdSubjects(numberSubject, addressSubject);
        const struct {
            const std::string& subject;
            int perHour, perDay;
        } limits[] = {
            {numberSubject, m_limits.requestsPerHour, m_limits.requestsPerDay},
            {addressSubject, m_limits.addressRequestsPerHour, m_limits.addressRequestsPerDay},
        };
        for (const auto& limit : limits) {
            if (codes.requestsSince(limit.subject, at - kHour) >= limit.perHour) {
                return Request{RequestOutcome::LimitedForAnHour, {}, 0};
            }
            if (codes.requestsSince(limit.subject, at - kDay) >= limit.perDay) {
                return Request{RequestOutcome::LimitedForADay, {}, 0};
            }
        }
        codes.forgetRequestsUpTo(at - kDay);
        codes.countRequests(numberSubject, addressSubject, at);
        codes.forgetCodesExpiredBy(at);
        codes.putCode(static_cast<std::int64_t>(purpose), number, hash, request.expiresAt);
        transaction.commit();
        return request;
    });
}

Verification::Check Verification::checkCode(CodePurpose purpose, std::string_view number, std::string_view typed) {
    const std::int64_t at = now();
    const std::string typedHash = hashOf(purpose, number, typed);
    const auto key = static_cast<std::int64_t>(purpose);
    return m_store.withDatabase([&](Database& db) {
        Transaction transaction(db);
        Codes codes(db);
        const std::optional<Codes::Pending> pending = codes.findCode(key, number);
        if (!pending) {
            return Check{CheckOutcome::Expired, 0};
        }
        const auto drop = [&] {
            codes.dropCode(key, number);
            transaction.commit();
        };
        if (at >= pending->expiresAt) {
            drop();
            return Check{CheckOutcome::Expired, 0};
        }
        if (pending->tries >= m_limits.triesPerCode) {
            return Check{CheckOutcome::TriesUsedUp, 0};
        }
        const std::string& storedHash = pending->hash;
        const bool matched = storedHash.size() == typedHash.size() &&
                             sodium_memcmp(storedHash.data(), typedHash.data(), storedHash.size()) == 0;
        if (matched) {
            drop();
            return Check{CheckOutcome::Matched, 0};
        }
        codes.countTry(key, number);
        transaction.commit();
        return Check{CheckOutcome::Wrong, static_cast<int>(m_limits.triesPerCode - pending->tries - 1)};
    });
}

void Verification::rememberCarrier(std::string_view number, std::string_view carrier) {
    const std::int64_t at = now();
    m_store.withDatabase([&](Database& db) { Codes(db).rememberCarrier(number, carrier, at); });
}

std::optional<std::string> Verification::carrierOf(std::string_view number) {
    return m_store.withDatabase([&](Database& db) { return Codes(db).carrierOf(number); });
}

} // namespace server
