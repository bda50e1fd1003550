// A user leaving: every table that holds something of theirs, in one write.

#include "server/store/Store.h"

namespace server {

void Store::deleteAccount(std::int64_t userId) {
    const std::string at = stateTime();
    write([&] {
        Transaction transaction(m_writer);
        // Queued messages end here, recorded like every change of state; the delivery worker only
        // takes queued ones, and a report never moves a message out of a final state.
        m_writer
            .prepared("INSERT INTO outbox_states(message_id, state, at, reason) SELECT id, 'cancelled', ?2, "
                      "'the account was deleted' FROM outbox WHERE user_id = ?1 AND state = 'queued'")
            ->bind(1, userId)
            .bind(2, at)
            .run();
        m_writer
            .prepared("UPDATE outbox SET state = 'cancelled', next_attempt = NULL WHERE user_id = ?1 AND "
                      "state = 'queued'")
            ->bind(1, userId)
            .run();
        // The rows stay, as a code's do, with no user and no text: what was sent to which number
        // and what became of it, for the delivery reports still to come.
        m_writer
            .prepared("UPDATE outbox SET subject = '', body = '', user_id = NULL, friend_id = NULL "
                      "WHERE user_id = ?1")
            ->bind(1, userId)
            .run();
        m_writer.prepared("DELETE FROM verified_numbers WHERE number = (SELECT login FROM users WHERE id = ?1)")
            ->bind(1, userId)
            .run();
        for (const char* sql : {"DELETE FROM friends WHERE user_id = ?1", "DELETE FROM sessions WHERE user_id = ?1",
                                "DELETE FROM page_sessions WHERE user_id = ?1", "DELETE FROM users WHERE id = ?1"}) {
            m_writer.prepared(sql)->bind(1, userId).run();
        }
        transaction.commit();
    });
}

} // namespace server
