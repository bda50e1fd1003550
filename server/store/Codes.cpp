#include "server/store/Codes.h"

namespace server {

void Codes::holdSubjects(std::string_view first, std::string_view second) {
    // On SQLite the one writing connection already excludes every other writer. On PostgreSQL the
    // requests of other processes for the same subjects wait until this transaction ends, so that
    // two of them cannot both pass a limit that only one should; always taken in the same order,
    // so that two transactions never wait for each other.
    if (m_db.dialect() != Dialect::Postgres) {
        return;
    }
    const bool inOrder = first <= second;
    m_db.prepared("SELECT pg_advisory_xact_lock(hashtext(?1)), pg_advisory_xact_lock(hashtext(?2))")
        ->bind(1, inOrder ? first : second)
        .bind(2, inOrder ? second : first)
        .run();
}

std::int64_t Codes::requestsSince(std::string_view subject, std::int64_t since) {
    Query stmt = m_db.prepared("SELECT count(*) FROM code_requests WHERE subject = ?1 AND requested_at > ?2");
    stmt->bind(1, subject).bind(2, since);
    stmt->step();
    return stmt->columnInt64(0);
}

void Codes::countRequests(std::string_view first, std::string_view second, std::int64_t at) {
    m_db.prepared("INSERT INTO code_requests(subject, requested_at) VALUES (?1, ?3), (?2, ?3)")
        ->bind(1, first)
        .bind(2, second)
        .bind(3, at)
        .run();
}

void Codes::forgetRequestsUpTo(std::int64_t time) {
    m_db.prepared("DELETE FROM code_requests WHERE requested_at <= ?1")->bind(1, time).run();
}

void Codes::putCode(std::int64_t purpose, std::string_view number, std::string_view hash, std::int64_t expiresAt) {
    m_db.prepared("INSERT INTO verification_codes(purpose, number, code_hash, expires_at, tries) "
                  "VALUES (?1, ?2, ?3, ?4, 0) ON CONFLICT (purpose, number) DO UPDATE SET "
                  "code_hash = excluded.code_hash, expires_at = excluded.expires_at, tries = 0")
        ->bind(1, purpose)
        .bind(2, number)
        .bind(3, hash)
        .bind(4, expiresAt)
        .run();
}

std::optional<Codes::Pending> Codes::findCode(std::int64_t purpose, std::string_view number) {
    // Held until the transaction ends on PostgreSQL, so that wrong codes typed through several
    // processes at once each count.
    Query find = m_db.prepared(m_db.dialect() == Dialect::Postgres
                                   ? "SELECT code_hash, expires_at, tries FROM verification_codes "
                                     "WHERE purpose = ?1 AND number = ?2 FOR UPDATE"
                                   : "SELECT code_hash, expires_at, tries FROM verification_codes "
                                     "WHERE purpose = ?1 AND number = ?2");
    find->bind(1, purpose).bind(2, number);
    if (!find->step()) {
        return std::nullopt;
    }
    return Pending{find->columnText(0), find->columnInt64(1), find->columnInt64(2)};
}

void Codes::countTry(std::int64_t purpose, std::string_view number) {
    m_db.prepared("UPDATE verification_codes SET tries = tries + 1 WHERE purpose = ?1 AND number = ?2")
        ->bind(1, purpose)
        .bind(2, number)
        .run();
}

void Codes::dropCode(std::int64_t purpose, std::string_view number) {
    m_db.prepared("DELETE FROM verification_codes WHERE purpose = ?1 AND number = ?2")
        ->bind(1, purpose)
        .bind(2, number)
        .run();
}

void Codes::forgetCodesExpiredBy(std::int64_t time) {
    m_db.prepared("DELETE FROM verification_codes WHERE expires_at <= ?1")->bind(1, time).run();
}

void Codes::rememberCarrier(std::string_view number, std::string_view carrier, std::int64_t at) {
    m_db.prepared("INSERT INTO verified_numbers(number, carrier, verified_at) VALUES (?1, ?2, ?3) "
                  "ON CONFLICT (number) DO UPDATE SET carrier = excluded.carrier, verified_at = excluded.verified_at")
        ->bind(1, number)
        .bind(2, carrier)
        .bind(3, at)
        .run();
}

std::optional<std::string> Codes::carrierOf(std::string_view number) {
    Query stmt = m_db.prepared("SELECT carrier FROM verified_numbers WHERE number = ?1");
    stmt->bind(1, number);
    if (!stmt->step()) {
        return std::nullopt;
    }
    return stmt->columnText(0);
}

} // namespace server
