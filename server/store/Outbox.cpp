// The outbox table: every accepted message and every account code's text, which is also the
// delivery queue (DeliveryQueue.h).

#include "server/delivery/ReportSecret.h"
#include "server/store/ReadPool.h"
#include "server/store/Store.h"

#include <chrono>
#include <cstdio>

namespace server {

std::optional<OutboxResult> Store::overSendLimit(std::int64_t userId, std::int64_t time) {
    // Over a limit of N messages in a window when the N-th latest message lies inside it; the user
    // may send again once that one has left the window.
    const auto overLimit = [&](int limit, std::int64_t window) -> std::optional<std::int64_t> {
        if (limit <= 0) {
            return std::nullopt;
        }
        Query nth = m_writer.prepared("SELECT CAST(strftime('%s', sent_at) AS INTEGER) FROM outbox "
                                      "WHERE user_id = ?1 AND sent_at > ?2 ORDER BY sent_at DESC LIMIT 1 OFFSET ?3");
        nth->bind(1, userId).bind(2, UtcText(time - window)).bind(3, std::int64_t{limit} - 1);
        if (!nth->step()) {
            return std::nullopt;
        }
        return nth->columnInt64(0) + window;
    };
    OutboxResult result;
    if (const auto retry = overLimit(m_settings.sendsPerMinute, 60)) {
        result.status = OutboxResult::Status::OverMinuteLimit;
        result.retryAt = *retry;
        return result;
    }
    if (const auto retry = overLimit(m_settings.sendsPerDay, 24 * 60 * 60)) {
        result.status = OutboxResult::Status::OverDayLimit;
        result.retryAt = *retry;
        return result;
    }
    return std::nullopt;
}

void Store::insertMessage(OutboxMessage& message) {
    // A queued message is due at once.
    const bool queued = message.state == delivery::kQueued;
    message.state = queued ? delivery::kQueued : delivery::kOff;
    message.attempts = 0;
    message.nextAttempt = queued ? message.sentAt : std::string();
    message.lastReply.clear();
    Query stmt = m_writer.prepared("INSERT INTO outbox(user_id, friend_id, number, carrier, subject, body, sent_at, "
                                   "state, next_attempt) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
    stmt->bind(1, message.userId);
    if (message.friendId != 0) {
        stmt->bind(2, message.friendId);
    } else {
        stmt->bindNull(2);
    }
    stmt->bind(3, message.number).bind(4, message.carrier).bind(5, message.subject);
    stmt->bind(6, message.body).bind(7, message.sentAt).bind(8, message.state);
    if (queued) {
        stmt->bind(9, message.nextAttempt);
    } else {
        stmt->bindNull(9);
    }
    stmt->run();
    message.id = m_writer.lastInsertRowId();
    recordState(message.id, message.state, {});
}

OutboxResult Store::addToOutbox(OutboxMessage message) {
    const std::int64_t time = now();
    return write([&] {
        OutboxResult result;
        if (message.friendId != 0) {
            Query entry = m_writer.prepared("SELECT number, carrier FROM friends WHERE user_id = ?1 AND id = ?2");
            entry->bind(1, message.userId).bind(2, message.friendId);
            if (!entry->step()) {
                result.status = OutboxResult::Status::UnknownFriend;
                return result;
            }
            message.number = entry->columnText(0);
            message.carrier = entry->columnText(1);
        }
        if (auto refused = overSendLimit(message.userId, time)) {
            return *refused;
        }
        message.sentAt = UtcText(time);
        insertMessage(message);
        result.message = std::move(message);
        return result;
    });
}

std::vector<OutboxMessage> Store::outbox() {
    ReadConnection connection = reading();
    Query stmt = connection.db().prepared(
        "SELECT id, user_id, friend_id, number, carrier, subject, body, sent_at, state, attempts, next_attempt, "
        "last_reply FROM outbox ORDER BY id");
    std::vector<OutboxMessage> result;
    while (stmt->step()) {
        OutboxMessage message;
        message.id = stmt->columnInt64(0);
        message.userId = stmt->columnInt64(1);
        message.friendId = stmt->columnIsNull(2) ? 0 : stmt->columnInt64(2);
        message.number = stmt->columnText(3);
        message.carrier = stmt->columnText(4);
        message.subject = stmt->columnText(5);
        message.body = stmt->columnText(6);
        message.sentAt = stmt->columnText(7);
        message.state = stmt->columnText(8);
        message.attempts = static_cast<int>(stmt->columnInt64(9));
        message.nextAttempt = stmt->columnIsNull(10) ? std::string() : stmt->columnText(10);
        message.lastReply = stmt->columnIsNull(11) ? std::string() : stmt->columnText(11);
        result.push_back(std::move(message));
    }
    return result;
}

void Store::queueCode(std::string_view number, std::string_view carrier, std::string_view subject,
                      std::string_view body, std::int64_t expiresAt) {
    const std::string queuedAt = UtcText(now());
    write([&] {
        m_writer
            .prepared("INSERT INTO outbox(user_id, number, carrier, subject, body, sent_at, state, next_attempt, "
                      "expires_at) VALUES (NULL, ?1, ?2, ?3, ?4, ?5, 'queued', ?5, ?6)")
            ->bind(1, number)
            .bind(2, carrier)
            .bind(3, subject)
            .bind(4, body)
            .bind(5, queuedAt)
            .bind(6, UtcText(expiresAt))
            .run();
        recordState(m_writer.lastInsertRowId(), delivery::kQueued, {});
    });
}

std::string Store::stateTime() const {
    if (m_settings.clock) {
        return UtcText(m_settings.clock());
    }
    // Milliseconds: a text goes from queued to delivered within a second.
    const auto now = std::chrono::system_clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::string text = UtcText(std::chrono::system_clock::to_time_t(now));
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03dZ", static_cast<int>(ms));
    text.replace(text.size() - 1, 1, fraction);
    return text;
}

void Store::recordState(std::int64_t id, std::string_view state, std::string_view reason) {
    Query stmt = m_writer.prepared("INSERT INTO outbox_states(message_id, state, at, reason) VALUES (?1, ?2, ?3, ?4)");
    stmt->bind(1, id).bind(2, state).bind(3, stateTime());
    if (reason.empty()) {
        stmt->bindNull(4);
    } else {
        stmt->bind(4, reason);
    }
    stmt->run();
}

std::vector<StateChange> Store::stateHistory(std::int64_t id) {
    ReadConnection connection = reading();
    Query stmt = connection.db().prepared(
        "SELECT state, at, coalesce(reason, '') FROM outbox_states WHERE message_id = ?1 ORDER BY rowid");
    stmt->bind(1, id);
    std::vector<StateChange> history;
    while (stmt->step()) {
        history.push_back({stmt->columnText(0), stmt->columnText(1), stmt->columnText(2)});
    }
    return history;
}

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
constexpr RetireStatements kRetireAll{VANTRO_RECORD_EXPIRY VANTRO_CODE_EXPIRING " AND ?2 IS NULL",
                                      VANTRO_EXPIRE VANTRO_CODE_EXPIRING " AND ?2 IS NULL",
                                      "UPDATE outbox SET body = '' WHERE " VANTRO_CODE_SETTLED " AND ?2 IS NULL"};
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

std::vector<QueuedMessage> Store::dueMessages(TimePoint now, int limit) {
    write([&] { retireCodes(UtcText(now), std::nullopt); });
    ReadConnection connection = reading();
    // The times are all written alike, so text order is time order.
    Query stmt = connection.db().prepared("SELECT id, number, carrier, subject, body, sent_at, attempts, "
                                          "coalesce(expires_at, '') FROM outbox "
                                          "WHERE state = 'queued' AND next_attempt <= ?1 "
                                          "ORDER BY next_attempt, id LIMIT ?2");
    stmt->bind(1, UtcText(now)).bind(2, std::int64_t{limit});
    std::vector<QueuedMessage> due;
    while (stmt->step()) {
        due.push_back(QueuedMessage{stmt->columnInt64(0), stmt->columnText(1), stmt->columnText(2), stmt->columnText(3),
                                    stmt->columnText(4), stmt->columnText(5), static_cast<int>(stmt->columnInt64(6)),
                                    stmt->columnText(7)});
    }
    return due;
}

std::optional<TimePoint> Store::nextAttempt() {
    ReadConnection connection = reading();
    Query stmt = connection.db().prepared("SELECT min(next_attempt) FROM outbox WHERE state = 'queued'");
    if (!stmt->step() || stmt->columnIsNull(0)) {
        return std::nullopt;
    }
    return ParseUtcText(stmt->columnText(0));
}

void Store::setDeliveryState(std::int64_t id, std::string_view state, int attempts, const std::string* next,
                             std::string_view reply) {
    write([&] {
        // Only a message still queued: a report may have moved it on while the attempt was under way.
        Query stmt = m_writer.prepared("UPDATE outbox SET state = ?1, attempts = ?2, next_attempt = ?3, "
                                       "last_reply = ?4 WHERE id = ?5 AND state = 'queued'");
        stmt->bind(1, state).bind(2, std::int64_t{attempts});
        if (next != nullptr) {
            stmt->bind(3, *next);
        } else {
            stmt->bindNull(3);
        }
        stmt->bind(4, reply).bind(5, id).run();
        if (m_writer.changes() == 0) {
            // The report came first; the attempt still counts.
            m_writer.prepared("UPDATE outbox SET attempts = max(attempts, ?1) WHERE id = ?2")
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

namespace {

// How far along a state is; a report moves a message only further along, never out of a final
// state (delivered, failed, expired). "off" is never reported on: it carries no secret.
int Progress(std::string_view state) {
    if (state == delivery::kQueued) {
        return 0;
    }
    if (state == delivery::kAccepted) {
        return 1;
    }
    if (state == delivery::kSubmitted) {
        return 2;
    }
    return 3;
}

} // namespace

ReportResult Store::applyReport(const DeliveryReport& report) {
    // One write, durable before the gateway hears that the report was taken.
    return write([&]() -> ReportResult {
        Transaction transaction(m_writer);
        Query row = m_writer.prepared("SELECT state, coalesce(report_hash, '') FROM outbox WHERE id = ?1");
        row->bind(1, report.id);
        if (!row->step()) {
            return ReportResult::Unknown;
        }
        const std::string current = row->columnText(0);
        const std::string hash = row->columnText(1);
        row->reset();
        if (hash.empty() || !ReportSecretMatches(report.secret, hash)) {
            return ReportResult::Unknown;
        }
        if (current == delivery::kOff || Progress(current) >= 3 || Progress(report.state) <= Progress(current)) {
            return ReportResult::Unchanged;
        }
        const bool final = Progress(report.state) >= 3;
        Query update = m_writer.prepared("UPDATE outbox SET state = ?1, next_attempt = NULL, "
                                         "last_reply = CASE WHEN ?2 = '' THEN last_reply ELSE ?2 END WHERE id = ?3");
        update->bind(1, report.state)
            .bind(2, final ? std::string_view(report.reason) : std::string_view())
            .bind(3, report.id);
        update->run();
        recordState(report.id, report.state, final && report.state != delivery::kDelivered ? report.reason : "");
        retireCodes({}, report.id);
        transaction.commit();
        return ReportResult::Applied;
    });
}

} // namespace server
