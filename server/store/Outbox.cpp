// The outbox table: every accepted message and every account code's text, with the changes of
// their states and the delivery reports. Its use as the delivery queue is OutboxQueue.cpp's.

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
        Query nth = m_writer.prepared("SELECT sent_at FROM outbox "
                                      "WHERE user_id = ?1 AND sent_at > ?2 ORDER BY sent_at DESC LIMIT 1 OFFSET ?3");
        nth->bind(1, userId).bind(2, UtcText(time - window)).bind(3, std::int64_t{limit} - 1);
        if (!nth->step()) {
            return std::nullopt;
        }
        const auto sentAt = ParseUtcText(nth->columnText(0)).value_or(TimePoint{});
        return std::chrono::duration_cast<std::chrono::seconds>(sentAt.time_since_epoch()).count() + window;
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
    // PostgreSQL records the first state in the same statement, one round trip fewer for every
    // send; SQLite, in process, has no round trips to save and takes no INSERT in a WITH.
    const bool withState = m_writer.dialect() == Dialect::Postgres;
    Query stmt = m_writer.prepared(
        withState ? "WITH message AS (INSERT INTO outbox(user_id, friend_id, number, carrier, subject, body, sent_at, "
                    "state, next_attempt) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9) RETURNING id) "
                    "INSERT INTO outbox_states(message_id, state, at) SELECT id, ?8, ?10 FROM message "
                    "RETURNING message_id"
                  : "INSERT INTO outbox(user_id, friend_id, number, carrier, subject, body, sent_at, "
                    "state, next_attempt) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9) RETURNING id");
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
    if (withState) {
        stmt->bind(10, stateTime());
    }
    stmt->step();
    message.id = stmt->columnInt64(0);
    if (!withState) {
        recordState(message.id, message.state, {});
    }
}

OutboxResult Store::addToOutbox(OutboxMessage message) {
    const std::int64_t time = now();
    return write([&] {
        OutboxResult result;
        // Sends through other service processes count against the same limits: they wait. Without
        // limits there is nothing to count, and the user's sends need not wait for one another.
        if (m_settings.sendsPerMinute > 0 || m_settings.sendsPerDay > 0) {
            lockUser(message.userId);
        }
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
        Query stmt = m_writer.prepared(
            "INSERT INTO outbox(user_id, number, carrier, subject, body, sent_at, state, next_attempt, "
            "expires_at) VALUES (NULL, ?1, ?2, ?3, ?4, ?5, 'queued', ?5, ?6) RETURNING id");
        stmt->bind(1, number).bind(2, carrier).bind(3, subject).bind(4, body).bind(5, queuedAt);
        stmt->bind(6, UtcText(expiresAt)).step();
        recordState(stmt->columnInt64(0), delivery::kQueued, {});
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
        // Held until the write ends: a report and an attempt's outcome on other processes wait.
        Query row =
            m_writer.prepared(m_writer.dialect() == Dialect::Postgres
                                  ? "SELECT state, coalesce(report_hash, '') FROM outbox WHERE id = ?1 FOR UPDATE"
                                  : "SELECT state, coalesce(report_hash, '') FROM outbox WHERE id = ?1");
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
