#include "server/store/TextSweeper.h"

#include <exception>

namespace server {

void TextSweeper::start() {
    m_stopping = false;
    m_thread = std::thread([this] { run(); });
}

void TextSweeper::stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void TextSweeper::sweep() {
    try {
        if (const int blanked = m_store.blankFinishedTexts(); blanked > 0 && m_log) {
            m_log("Removed the text of " + std::to_string(blanked) + (blanked == 1 ? " message" : " messages") +
                  " finished more than " + std::to_string(m_store.settings().keepMessageDays) + " days ago");
        }
    } catch (const std::exception& e) {
        // A failing store: the next sweep tries again.
        if (m_log) {
            m_log(std::string("ERROR removing old message texts: ") + e.what());
        }
    }
}

void TextSweeper::run() {
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        lock.unlock();
        sweep();
        lock.lock();
        m_wake.wait_for(lock, kInterval, [this] { return m_stopping; });
    }
}

} // namespace server
