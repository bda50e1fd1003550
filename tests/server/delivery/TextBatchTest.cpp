// The delivery worker handing a batch of texts to the SMS gateway at once, against a scripted
// gateway: each text of the batch ends as its own answer says, whatever happens to the others.

#include "server/delivery/DeliveryWorker.h"
#include "server/store/DemoData.h"
#include "server/store/Store.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace server;
using namespace std::chrono_literals;

namespace {

// Accepts every text, except that the text "hold" waits until release() and is then not taken
// (what a transfer cut short by the service's stop comes to).
class ScriptedGateway : public SmsSender {
public:
    SmsOutcome submit(const SmsSubmission& submission) override {
        std::unique_lock lock(m_mutex);
        m_texts.push_back(submission.text);
        m_changed.notify_all();
        if (submission.text != "hold") {
            return {SmsOutcome::Kind::Accepted, "0: Accepted for delivery"};
        }
        m_changed.wait(lock, [this] { return m_released; });
        return {SmsOutcome::Kind::Temporary, "Callback aborted"};
    }
    // True once `count` texts have been handed over (a guard, not a measure).
    bool waitForTexts(std::size_t count) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, 30s, [&] { return m_texts.size() >= count; });
    }
    void release() {
        std::lock_guard lock(m_mutex);
        m_released = true;
        m_changed.notify_all();
    }
    std::vector<std::string> texts() {
        std::lock_guard lock(m_mutex);
        return m_texts;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_texts;
    bool m_released = false;
};

// The store, except that setting the report secret of the text "broken" fails, as a full disk would.
class FailingQueue : public DeliveryQueue {
public:
    explicit FailingQueue(Store& store) : m_store(store) {}
    std::optional<QueuedMessage> nextDue(TimePoint now) override { return m_store.nextDue(now); }
    std::vector<QueuedMessage> dueMessages(TimePoint now, int limit) override {
        auto due = m_store.dueMessages(now, limit);
        for (const auto& message : due) {
            if (message.body == "broken") {
                m_broken = message.id;
            }
        }
        return due;
    }
    std::optional<TimePoint> nextAttempt() override { return m_store.nextAttempt(); }
    void releaseClaims(const std::vector<std::int64_t>& ids) override { m_store.releaseClaims(ids); }
    bool setReportSecretHash(std::int64_t id, std::string_view hash) override {
        if (id == m_broken) {
            throw std::runtime_error("disk I/O error");
        }
        return m_store.setReportSecretHash(id, hash);
    }
    void markAccepted(std::int64_t id, int attempts, std::string_view reply) override {
        m_store.markAccepted(id, attempts, reply);
    }
    void markRetry(std::int64_t id, int attempts, TimePoint next, std::string_view reply) override {
        m_store.markRetry(id, attempts, next, reply);
    }
    void markFailed(std::int64_t id, int attempts, std::string_view reply) override {
        m_store.markFailed(id, attempts, reply);
    }

private:
    Store& m_store;
    std::int64_t m_broken = -1;
};

class TextBatchTest : public ::testing::Test {
protected:
    void queue(const std::vector<std::string>& bodies) {
        for (const auto& body : bodies) {
            OutboxMessage message;
            message.userId = std::stoll(std::string(kDemoUserId));
            message.number = "2125550100";
            message.carrier = "Sprint";
            message.body = body;
            message.state = delivery::kQueued;
            store.addToOutbox(message);
        }
    }
    std::vector<std::string> states() {
        std::vector<std::string> all;
        for (const auto& message : store.outbox()) {
            all.push_back(message.state);
        }
        return all;
    }

    Store store{":memory:"};
    const TimePoint later = std::chrono::system_clock::now() + 1min;
    DeliveryWorker::Clock clock = [this] { return later; };
};

TEST_F(TextBatchTest, StopWhileOneTextWaits_recordsTheOthersTaken_andSendsOnlyThatOneAgain) {
    queue({"hold", "two", "three"}); // the waiting one first, as the batch is read
    ScriptedGateway gateway;
    {
        DeliveryWorker worker(store, gateway, "http://127.0.0.1:1/delivery-report", {}, clock);
        worker.start();
        ASSERT_TRUE(gateway.waitForTexts(3));
        worker.requestStop();
        gateway.release();
        worker.stop();
    }
    EXPECT_EQ(states(), (std::vector<std::string>{"queued", "accepted", "accepted"}));
    EXPECT_EQ(store.outbox().at(0).attempts, 0); // cut short: not counted

    ScriptedGateway afterRestart;
    afterRestart.release();
    DeliveryWorker worker(store, afterRestart, "http://127.0.0.1:1/delivery-report", {}, clock);
    EXPECT_EQ(worker.deliverDue(), 1);
    EXPECT_EQ(afterRestart.texts(), std::vector<std::string>{"hold"});
}

TEST_F(TextBatchTest, StoreFailingForOneText_reachesTheCaller_afterTheOthersAreRecorded) {
    queue({"broken", "two", "three"});
    FailingQueue failing(store);
    ScriptedGateway gateway;
    DeliveryWorker worker(failing, gateway, "http://127.0.0.1:1/delivery-report", {}, clock);
    // run() logs it and tries again in a minute; it must not end the process.
    EXPECT_THROW(worker.deliverDue(), std::runtime_error);
    EXPECT_EQ(states(), (std::vector<std::string>{"queued", "accepted", "accepted"}));
    EXPECT_EQ(gateway.texts().size(), 2u);
}

} // namespace
