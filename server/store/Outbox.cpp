// The outbox table: every accepted message and every account code's text, which is also the
// delivery queue (DeliveryQueue.h).

#include "server/store/ReadPool.h"
#include "server/store/Store.h"

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
    });
}

void Store::retireCodes(const std::string& now, std::optional<std::int64_t> id) {
    // A code's text leaves the store once it is sent or failed, and a code that would only be
    // tried again once it has expired is not tried at all. An empty `now` expires nothing by
    // time alone (every time text sorts after it).
    Query stmt = m_writer.prepared("UPDATE outbox SET body = '', "
                                   "state = CASE WHEN state = 'queued' THEN 'failed' ELSE state END, "
                                   "last_reply = CASE WHEN state = 'queued' THEN 'expired before delivery: ' || "
                                   "coalesce(last_reply, 'no attempt') ELSE last_reply END, next_attempt = NULL "
                                   "WHERE expires_at IS NOT NULL AND body != '' AND (?2 IS NULL OR id = ?2) "
                                   "AND (state != 'queued' OR next_attempt >= expires_at OR expires_at <= ?1)");
    stmt->bind(1, now);
    if (id) {
        stmt->bind(2, *id);
    } else {
        stmt->bindNull(2);
    }
    stmt->run();
}

std::optional<QueuedMessage> Store::nextDue(TimePoint now) {
    write([&] { retireCodes(UtcText(now), std::nullopt); });
    ReadConnection connection = reading();
    // The times are all written alike, so text order is time order.
    Query stmt = connection.db().prepared("SELECT id, number, carrier, subject, body, sent_at, attempts FROM outbox "
                                          "WHERE state = 'queued' AND next_attempt <= ?1 "
                                          "ORDER BY next_attempt, id LIMIT 1");
    stmt->bind(1, UtcText(now));
    if (!stmt->step()) {
        return std::nullopt;
    }
    return QueuedMessage{stmt->columnInt64(0),
                         stmt->columnText(1),
                         stmt->columnText(2),
                         stmt->columnText(3),
                         stmt->columnText(4),
                         stmt->columnText(5),
                         static_cast<int>(stmt->columnInt64(6))};
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
        Query stmt = m_writer.prepared(
            "UPDATE outbox SET state = ?1, attempts = ?2, next_attempt = ?3, last_reply = ?4 WHERE id = ?5");
        stmt->bind(1, state).bind(2, std::int64_t{attempts});
        if (next != nullptr) {
            stmt->bind(3, *next);
        } else {
            stmt->bindNull(3);
        }
        stmt->bind(4, reply).bind(5, id).run();
        retireCodes({}, id);
    });
}

void Store::markSent(std::int64_t id, int attempts, std::string_view reply) {
    setDeliveryState(id, delivery::kSent, attempts, nullptr, reply);
}

void Store::markRetry(std::int64_t id, int attempts, TimePoint next, std::string_view reply) {
    const std::string nextText = UtcText(next);
    setDeliveryState(id, delivery::kQueued, attempts, &nextText, reply);
}

void Store::markFailed(std::int64_t id, int attempts, std::string_view reply) {
    setDeliveryState(id, delivery::kFailed, attempts, nullptr, reply);
}

} // namespace server
