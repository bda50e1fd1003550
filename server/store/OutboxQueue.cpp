// The outbox as the delivery queue (DeliveryQueue.h): the due messages, each claimed by the worker
// that attempts it, and the outcome of each attempt. A claim lasts StoreSettings::claimSeconds, so
// that the workers of several service processes on one PostgreSQL store never attempt a message at
// the same time, and the messages of a worker that died return to the queue when its claims run out.

#include "server/store/ReadPool.h"
#include "server/store/Store.h"

#include <algorithm>
#include <chrono>
#include <tuple>
#include <utility>

namespace server {

namespace {

// The statements of retireCodes, for one message (?2: its id) or for all. Literals, since the
// writer keeps its prepared statements by their text's address. Both forms name the conditions of
// the index outbox_pending_codes, so that neither reads the whole outbox.
#define VANTRO_CODE_EXPIRING                                                                                           \
    "expires_at IS NOT NULL AND body != '' AND state = 'queued' "                                                      \
    "AND (next_attempt >= expires_at OR expires_at <= ?1)"
#define VANTRO_CODE_SETTLED "expires_at IS NOT NULL AND body != '' AND state != 'queued'"
#define VANTRO_RECORD_EXPIRY                                                                                           \
    "INSERT INTO outbox_states(message_id, state, at, reason) SELECT id, 'expired', ?3, "                              \
    "'expired before delivery: ' || coalesce(last_reply, 'no attempt') FROM outbox WHERE "
#define VANTRO_EXPIRE                                                                                                  \
    "UPDATE outbox SET body = '', state = 'expired', last_reply = 'expired before delivery: ' || "                     \
    "coalesce(last_reply, 'no attempt'), next_attempt = NULL WHERE "

struct RetireStatements {
    const char* record;
    const char* expire;
    const char* blank;
};
constexpr RetireStatements kRetireAll{VANTRO_RECORD_EXPIRY VANTRO_CODE_EXPIRING " AND CAST(?2 AS BIGINT) IS NULL",
                                      VANTRO_EXPIRE VANTRO_CODE_EXPIRING " AND CAST(?2 AS BIGINT) IS NULL",
                                      "UPDATE outbox SET body = '' WHERE " VANTRO_CODE_SETTLED
                                      " AND CAST(?2 AS BIGINT) IS NULL"};
constexpr RetireStatements kRetireOne{VANTRO_RECORD_EXPIRY "id = ?2 AND " VANTRO_CODE_EXPIRING,
                                      VANTRO_EXPIRE "id = ?2 AND " VANTRO_CODE_EXPIRING,
                                      "UPDATE outbox SET body = '' WHERE id = ?2 AND " VANTRO_CODE_SETTLED};

#undef VANTRO_CODE_EXPIRING
#undef VANTRO_CODE_SETTLED
#undef VANTRO_RECORD_EXPIRY
#undef VANTRO_EXPIRE

} // namespace

void Store::retireCodes(const std::string& now, std::optional<std::int64_t> id) {
    // A code's text leaves the store once it is accepted, refused or expired, and a code that
    // would only be tried again once it has expired is not tried at all. An empty `now` expires
    // nothing by time alone (every time text sorts after it).
    const RetireStatements& sql = id ? kRetireOne : kRetireAll;
    const auto bindScope = [&](Statement& stmt) -> Statement& { return id ? stmt.bind(2, *id) : stmt.bindNull(2); };
    Query record = m_writer.prepared(sql.record);
    bindScope(*record).bind(1, now).bind(3, stateTime()).run();
    Query expire = m_writer.prepared(sql.expire);
    bindScope(*expire).bind(1, now).run();
    Query blank = m_writer.prepared(sql.blank);
    bindScope(*blank).run();
}

std::optional<QueuedMessage> Store::nextDue(TimePoint now) {
    auto due = dueMessages(now, 1);
    if (due.empty()) {
        return std::nullopt;
    }
    return std::move(due.front());
}

namespace {

// Claims the oldest due messages that no live claim holds, until ?3, and returns them. Rows a
// worker of another process is claiming at this moment are passed over, not waited for.
#define VANTRO_CLAIM_DUE(LOCK)                                                                                         \
    "UPDATE outbox SET claimed_until = ?3 WHERE id IN (SELECT id FROM outbox WHERE state = 'queued' "                  \
    "AND next_attempt <= ?1 AND (claimed_until IS NULL OR claimed_until <= ?1) "                                       \
    "ORDER BY next_attempt, id LIMIT ?2" LOCK ") RETURNING id, number, carrier, subject, body, sent_at, attempts, "    \
    "coalesce(expires_at, ''), next_attempt"
constexpr const char* kClaimDue = VANTRO_CLAIM_DUE("");
constexpr const char* kClaimDueSkippingLocked = VANTRO_CLAIM_DUE(" FOR UPDATE SKIP LOCKED");
#undef VANTRO_CLAIM_DUE

} // namespace

std::vector<QueuedMessage> Store::dueMessages(TimePoint now, int limit) {
    const std::string nowText = UtcText(now);
    const std::string leaseEnd = UtcText(now + std::chrono::seconds(m_settings.claimSeconds));
    std::vector<std::pair<std::string, QueuedMessage>> claimed = write([&] {
        retireCodes(nowText, std::nullopt);
        // The times are all written alike, so text order is time order.
        Query stmt = m_writer.prepared(m_writer.dialect() == Dialect::Postgres ? kClaimDueSkippingLocked : kClaimDue);
        stmt->bind(1, nowText).bind(2, std::int64_t{limit}).bind(3, leaseEnd);
        std::vector<std::pair<std::string, QueuedMessage>> rows;
        while (stmt->step()) {
            rows.emplace_back(stmt->columnText(8),
                              QueuedMessage{stmt->columnInt64(0), stmt->columnText(1), stmt->columnText(2),
                                            stmt->columnText(3), stmt->columnText(4), stmt->columnText(5),
                                            static_cast<int>(stmt->columnInt64(6)), stmt->columnText(7)});
        }
        return rows;
    });
    // RETURNING keeps no order: oldest attempt first, as claimed.
    std::sort(claimed.begin(), claimed.end(), [](const auto& a, const auto& b) {
        return std::tie(a.first, a.second.id) < std::tie(b.first, b.second.id);
    });
    std::vector<QueuedMessage> due;
    due.reserve(claimed.size());
    for (auto& row : claimed) {
        due.push_back(std::move(row.second));
    }
    return due;
}

std::optional<TimePoint> Store::nextAttempt() {
    std::optional<TimePoint> next;
    {
        ReadConnection connection = reading();
        // A claimed message is due again when its claim runs out.
        Query stmt = connection.db().prepared(
            "SELECT min(CASE WHEN claimed_until > next_attempt THEN claimed_until ELSE next_attempt END) "
            "FROM outbox WHERE state = 'queued'");
        if (stmt->step() && !stmt->columnIsNull(0)) {
            next = ParseUtcText(stmt->columnText(0));
        }
    }
    if (m_writer.dialect() == Dialect::Postgres) {
        // Other service processes queue messages too, and only their own worker hears of it: look
        // again soon, whatever this process knows.
        const TimePoint soon = std::chrono::system_clock::now() + kQueuePollInterval;
        if (!next || *next > soon) {
            next = soon;
        }
    }
    return next;
}

void Store::releaseClaims(const std::vector<std::int64_t>& ids) {
    write([&] {
        for (const std::int64_t id : ids) {
            m_writer.prepared("UPDATE outbox SET claimed_until = NULL WHERE id = ?1 AND state = 'queued'")
                ->bind(1, id)
                .run();
        }
    });
}

void Store::releaseStaleClaims() {
    // One process alone uses an SQLite store, so a claim found at its start is one a process that
    // is gone left behind: its messages are due at once, as they were before claims.
    m_writer.execute("UPDATE outbox SET claimed_until = NULL WHERE state = 'queued' AND claimed_until IS NOT NULL");
}

void Store::setDeliveryState(std::int64_t id, std::string_view state, int attempts, const std::string* next,
                             std::string_view reply) {
    write([&] {
        // Only a message still queued: a report may have moved it on while the attempt was under way.
        // The claim ends with the attempt.
        Query stmt = m_writer.prepared("UPDATE outbox SET state = ?1, attempts = ?2, next_attempt = ?3, "
                                       "last_reply = ?4, claimed_until = NULL WHERE id = ?5 AND state = 'queued'");
        stmt->bind(1, state).bind(2, std::int64_t{attempts});
        if (next != nullptr) {
            stmt->bind(3, *next);
        } else {
            stmt->bindNull(3);
        }
        stmt->bind(4, reply).bind(5, id).run();
        if (m_writer.changes() == 0) {
            // The report came first; the attempt still counts.
            m_writer
                .prepared("UPDATE outbox SET attempts = CASE WHEN attempts < ?1 THEN ?1 ELSE attempts END, "
                          "claimed_until = NULL WHERE id = ?2")
                ->bind(1, std::int64_t{attempts})
                .bind(2, id)
                .run();
        } else if (state != delivery::kQueued) {
            recordState(id, state, state == delivery::kFailed ? reply : std::string_view());
        }
        retireCodes({}, id);
    });
}

bool Store::setReportSecretHash(std::int64_t id, std::string_view hash) {
    return write([&] {
        m_writer.prepared("UPDATE outbox SET report_hash = ?1 WHERE id = ?2 AND state = 'queued'")
            ->bind(1, hash)
            .bind(2, id)
            .run();
        return m_writer.changes() == 1;
    });
}

void Store::markAccepted(std::int64_t id, int attempts, std::string_view reply) {
    setDeliveryState(id, delivery::kAccepted, attempts, nullptr, reply);
}

void Store::markRetry(std::int64_t id, int attempts, TimePoint next, std::string_view reply) {
    const std::string nextText = UtcText(next);
    setDeliveryState(id, delivery::kQueued, attempts, &nextText, reply);
}

void Store::markFailed(std::int64_t id, int attempts, std::string_view reply) {
    setDeliveryState(id, delivery::kFailed, attempts, nullptr, reply);
}

} // namespace server
