#pragma once

// Proof that a person holds a phone: a 6-digit code texted to the number and typed back on the
// service's pages, with limits on how often codes may be asked for.

#include "server/store/Store.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace server {

enum class CodePurpose { Registration, PasswordReset };

struct VerificationLimits {
    // Code requests per phone number.
    int requestsPerHour = 3;
    int requestsPerDay = 10;
    // Code requests per client address; may be set higher where many people share one address.
    int addressRequestsPerHour = 3;
    int addressRequestsPerDay = 10;
    std::int64_t codeLifetimeSeconds = 10 * 60;
    int triesPerCode = 5;
};

// Seconds since the epoch; tests put their own clock in.
using SecondsClock = std::function<std::int64_t()>;
std::int64_t SystemSeconds();

class Verification {
public:
    enum class RequestOutcome {
        Issued,
        LimitedForAnHour, // an hourly limit is reached
        LimitedForADay,   // a daily limit is reached
    };
    struct Request {
        RequestOutcome outcome = RequestOutcome::Issued;
        std::string code;         // the 6 digits; empty unless issued
        std::int64_t expiresAt{}; // seconds since the epoch, when issued
    };

    enum class CheckOutcome {
        Matched,     // the code is right; it is used up
        Wrong,       // a wrong code; triesLeft says how many are left
        Expired,     // no code is pending, or it is older than its lifetime
        TriesUsedUp, // the code has had all its tries
    };
    struct Check {
        CheckOutcome outcome = CheckOutcome::Expired;
        int triesLeft = 0;
    };

    // Keeps its codes, counts and proven numbers in the store (server/store/Codes.h).
    // `keySecret`: the secret the codes' key is made from, the same for every service process on
    // one store (--code-key); empty: a random key of this process's own.
    explicit Verification(Store& store, VerificationLimits limits = {}, SecondsClock clock = {},
                          std::string_view keySecret = {});
    Verification(const Verification&) = delete;
    Verification& operator=(const Verification&) = delete;

    // Counts one code request against the number and the client address. Within the limits it
    // makes a new code for that number and purpose, which replaces any earlier one; over them it
    // makes none and counts nothing, so a refused request does not prolong the refusal.
    Request requestCode(CodePurpose purpose, std::string_view number, std::string_view clientAddress);

    // Compares a typed code with the pending one; every comparison uses one try.
    Check checkCode(CodePurpose purpose, std::string_view number, std::string_view typed);

    // The carrier the number's holder gave when they proved the number; nothing for numbers
    // registered before codes existed.
    void rememberCarrier(std::string_view number, std::string_view carrier);
    std::optional<std::string> carrierOf(std::string_view number);

    const VerificationLimits& limits() const noexcept { return m_limits; }

private:
    std::string hashOf(CodePurpose purpose, std::string_view number, std::string_view code) const;
    std::int64_t now() const;

    Store& m_store;
    VerificationLimits m_limits;
    SecondsClock m_clock;
    // Codes are stored as keyed BLAKE2b hashes under this key, which is never stored. With
    // only a million possible codes, a plain fast hash would be undone by trying them all; a
    // slow password hash would outlast a code's few minutes but cost the service a hash per try.
    // Without the key, whoever reads the store learns nothing. The price: codes pending when the
    // service restarts no longer match, and their holders ask for new ones; unless the operator
    // gives the secret the key is made from, as several processes on one store must.
    std::array<unsigned char, 32> m_key{};
};

} // namespace server
