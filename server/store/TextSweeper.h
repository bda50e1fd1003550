#pragma once

// Blanks the text of finished messages once they are older than the store keeps them
// (Store::blankFinishedTexts), on a thread of its own: at start and then every hour. The age is
// measured on the store's clock.

#include "server/store/Store.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace server {

class TextSweeper {
public:
    using Log = std::function<void(const std::string&)>;
    static constexpr std::chrono::hours kInterval{1};

    TextSweeper(Store& store, Log log) : m_store(store), m_log(std::move(log)) {}
    ~TextSweeper() { stop(); }
    TextSweeper(const TextSweeper&) = delete;
    TextSweeper& operator=(const TextSweeper&) = delete;

    void start();
    // Returns once a sweep in progress has ended. Safe to call more than once.
    void stop();

private:
    void run();
    void sweep();

    Store& m_store;
    Log m_log;
    std::mutex m_mutex; // guards m_stopping
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace server
