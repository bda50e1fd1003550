#pragma once

// A loopback SMSC for tests: listens on 127.0.0.1 and speaks the part of SMPP 3.4 an SMS gateway
// uses to send (bind_transceiver, enquire_link, submit_sm, deliver_sm for receipts, unbind).
// Records every submit_sm as it arrived, answers it with a message id or a scripted error
// status, and sends delivery receipts back on the same bind when told to (or on its own, for
// load runs).

#include "LoopbackListener.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace fakesmsc {

// Command ids of SMPP 3.4 (section 5.1.2.1).
inline constexpr std::uint32_t kBindReceiver = 0x00000001;
inline constexpr std::uint32_t kBindTransmitter = 0x00000002;
inline constexpr std::uint32_t kSubmitSm = 0x00000004;
inline constexpr std::uint32_t kDeliverSm = 0x00000005;
inline constexpr std::uint32_t kUnbind = 0x00000006;
inline constexpr std::uint32_t kBindTransceiver = 0x00000009;
inline constexpr std::uint32_t kEnquireLink = 0x00000015;
inline constexpr std::uint32_t kGenericNack = 0x80000000;
inline constexpr std::uint32_t kResponse = 0x80000000;

// Error statuses a test may refuse with.
inline constexpr std::uint32_t kInvalidDestination = 0x0000000B; // ESME_RINVDSTADR
inline constexpr std::uint32_t kSubmitFailed = 0x00000045;       // ESME_RSUBMITFAIL

// Receipt flag in esm_class (bits 5-2 = 0001: SMSC delivery receipt).
inline constexpr int kEsmClassReceipt = 0x04;
// esm_class bit 6: the short message starts with a user data header.
inline constexpr int kEsmClassUdhi = 0x40;

struct SubmitSm {
    std::string serviceType;
    int sourceTon = 0;
    int sourceNpi = 0;
    std::string source;
    int destinationTon = 0;
    int destinationNpi = 0;
    std::string destination;
    int esmClass = 0;
    int registeredDelivery = 0;
    int dataCoding = 0;
    std::string shortMessage; // the raw short_message field, UDH included
    std::string payload;      // the message_payload option (0x0424), when sent that way
    std::string udh;          // the user data header, when esm_class says there is one
    std::string userData;     // the message without its UDH, from short_message or payload
    std::string messageId;    // what submit_sm_resp answered; empty when refused
    std::uint32_t status = 0; // what submit_sm_resp answered
};

// The concatenation header of a part, when its UDH holds one (IE 0x00 or 0x08).
struct ConcatInfo {
    int reference = 0;
    int total = 0;
    int part = 0;
};
bool ReadConcat(std::string_view udh, ConcatInfo& info);

class FakeSmsc {
public:
    FakeSmsc();  // listens at once on a free port of 127.0.0.1
    ~FakeSmsc(); // closes every connection and waits for its thread
    FakeSmsc(const FakeSmsc&) = delete;
    FakeSmsc& operator=(const FakeSmsc&) = delete;

    int port() const noexcept { return m_listener.port(); }

    // Answers the next `count` submit_sm with `status` instead of a message id.
    void refuseNext(std::uint32_t status, int count = 1);
    // Every accepted submit_sm is followed at once by a receipt with stat:DELIVRD.
    void receiptEveryMessage(bool on);

    // Every submit_sm received, oldest first.
    std::vector<SubmitSm> submits() const;
    std::size_t submitCount() const;
    // Waits until `count` submit_sm have arrived; true when they did (a guard, not a measure).
    bool waitForSubmits(std::size_t count, std::chrono::seconds limit = std::chrono::seconds(30)) const;
    // True while a transceiver or receiver bind is open.
    bool bound() const;

    // Sends a receipt for an accepted submit on the open bind: deliver_sm with esm_class 0x04
    // and "id:<id> sub:001 dlvrd:<001|000> submit date:... done date:... stat:<stat> err:<err>
    // text:...". False when no bind is open.
    bool sendReceipt(const SubmitSm& submit, std::string_view stat = "DELIVRD", std::string_view err = "000");

private:
    struct Connection;
    void serve();
    void handle(Connection& connection, std::uint32_t command, std::uint32_t sequence, std::string_view body);
    void wakeThread();

    testsupport::LoopbackListener m_listener;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::deque<std::uint32_t> m_refusals;
    bool m_autoReceipt = false;
    std::vector<SubmitSm> m_submits;
    std::deque<std::string> m_pendingOut; // PDUs to go out on the bind, written by the thread
    int m_binds = 0;
    std::uint32_t m_nextSequence = 1;
    std::uint64_t m_nextId = 1;
};

} // namespace fakesmsc
