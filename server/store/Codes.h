#pragma once

// The account codes' tables (schema step 5 of Migrations.cpp): pending codes, kept only as hashes;
// the code requests counted against the limits; the numbers proven, with the carrier their holder
// gave. It works on a connection the caller holds (Store::withDatabase), so that the caller can
// make several calls one transaction.

#include "server/store/Connection.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace server {

class Codes {
public:
    struct Pending {
        std::string hash;
        std::int64_t expiresAt = 0; // seconds since 1970
        std::int64_t tries = 0;     // wrong codes typed so far
    };

    explicit Codes(Database& db) : m_db(db) {}

    // Holds the two subjects until the caller's transaction ends: a request of another service
    // process for either waits, so that its count includes this one.
    void holdSubjects(std::string_view first, std::string_view second);
    // Requests counted for `subject` after `since` (seconds since 1970).
    std::int64_t requestsSince(std::string_view subject, std::int64_t since);
    // Counts one request at `at` for each of the two subjects.
    void countRequests(std::string_view first, std::string_view second, std::int64_t at);
    // Forgets the requests made at or before `time`.
    void forgetRequestsUpTo(std::int64_t time);

    // Codes are kept per purpose (a number the caller gives) and number; a new one replaces the
    // one before it, with no tries used.
    void putCode(std::int64_t purpose, std::string_view number, std::string_view hash, std::int64_t expiresAt);
    std::optional<Pending> findCode(std::int64_t purpose, std::string_view number);
    void countTry(std::int64_t purpose, std::string_view number);
    void dropCode(std::int64_t purpose, std::string_view number);
    // Forgets every code whose expiry is at or before `time`.
    void forgetCodesExpiredBy(std::int64_t time);

    void rememberCarrier(std::string_view number, std::string_view carrier, std::int64_t at);
    std::optional<std::string> carrierOf(std::string_view number);

private:
    Database& m_db;
};

} // namespace server
