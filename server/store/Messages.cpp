// A user's messages as the "My messages" page shows them, and how long their text is kept.

#include "server/store/ReadPool.h"
#include "server/store/Store.h"

namespace server {

std::vector<SentMessage> Store::sentMessages(std::int64_t userId, int limit) {
    ReadConnection connection = reading();
    // The recipient's name is looked up by number, so that a number typed by hand shows the name
    // it has in the address book too. The time and reason are those of the state the message is in.
    Query stmt = connection.db().prepared(
        "SELECT o.id, o.sent_at, o.number, "
        "coalesce((SELECT f.name FROM friends f WHERE f.user_id = o.user_id AND f.number = o.number "
        "ORDER BY f.id LIMIT 1), ''), "
        "o.subject, o.body, o.state, coalesce(o.next_attempt, ''), "
        "coalesce((SELECT s.at FROM outbox_states s WHERE s.message_id = o.id AND s.state = o.state "
        "ORDER BY s.at DESC LIMIT 1), ''), "
        "coalesce((SELECT s.reason FROM outbox_states s WHERE s.message_id = o.id AND s.state = o.state "
        "AND s.reason IS NOT NULL ORDER BY s.at DESC LIMIT 1), o.last_reply, '') "
        "FROM outbox o WHERE o.user_id = ?1 ORDER BY o.sent_at DESC, o.id DESC LIMIT ?2");
    stmt->bind(1, userId).bind(2, std::int64_t{limit});
    std::vector<SentMessage> messages;
    while (stmt->step()) {
        SentMessage message;
        message.id = stmt->columnInt64(0);
        message.sentAt = stmt->columnText(1);
        message.number = stmt->columnText(2);
        message.friendName = stmt->columnText(3);
        message.subject = stmt->columnText(4);
        message.body = stmt->columnText(5);
        message.state = stmt->columnText(6);
        message.nextAttempt = stmt->columnText(7);
        message.stateAt = stmt->columnText(8);
        message.reason = stmt->columnText(9);
        messages.push_back(std::move(message));
    }
    return messages;
}

int Store::blankFinishedTexts() {
    // The times of the state changes sort as text; one with milliseconds sorts before the same
    // second without, so the cut-off holds to the second.
    const std::string before = UtcText(now() - std::int64_t{m_settings.keepMessageDays} * 24 * 60 * 60);
    return write([&] {
        m_writer
            .prepared("UPDATE outbox SET subject = '', body = '' "
                      "WHERE (body <> '' OR subject <> '') AND state IN ('delivered', 'failed', 'expired', 'off', "
                      "'cancelled') AND id IN (SELECT message_id FROM outbox_states WHERE state IN ('delivered', "
                      "'failed', 'expired', 'off', 'cancelled') AND at < ?1)")
            ->bind(1, before)
            .run();
        return m_writer.changes();
    });
}

} // namespace server
