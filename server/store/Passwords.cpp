#include "server/store/Passwords.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <sodium.h>

namespace server {

namespace {

#ifdef VANTRO_SERVER_CHEAP_HASH
// Fuzz and test builds only: the same algorithm at its lowest cost, so that thousands of logins
// per second stay possible. Never in a build that serves users.
constexpr unsigned long long kOpsLimit = crypto_pwhash_OPSLIMIT_MIN;
constexpr std::size_t kMemLimit = crypto_pwhash_MEMLIMIT_MIN;
#else
constexpr unsigned long long kOpsLimit = crypto_pwhash_OPSLIMIT_INTERACTIVE;
constexpr std::size_t kMemLimit = crypto_pwhash_MEMLIMIT_INTERACTIVE;
#endif

void InitSodium() {
    static const int ready = sodium_init();
    if (ready < 0) {
        throw std::runtime_error("libsodium cannot be initialised");
    }
}

// A counting gate: the limit can change while callers wait.
class HashGate {
public:
    void setLimit(unsigned limit) {
        std::lock_guard lock(m_mutex);
        m_limit = limit != 0 ? limit : std::max(1U, std::thread::hardware_concurrency());
        m_changed.notify_all();
    }
    void enter() {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_running < m_limit; });
        ++m_running;
    }
    void leave() {
        std::lock_guard lock(m_mutex);
        --m_running;
        m_changed.notify_one();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    unsigned m_limit = std::max(1U, std::thread::hardware_concurrency());
    unsigned m_running = 0;
};

HashGate& Gate() {
    static HashGate gate;
    return gate;
}

class GateTurn {
public:
    GateTurn() { Gate().enter(); }
    ~GateTurn() { Gate().leave(); }
    GateTurn(const GateTurn&) = delete;
    GateTurn& operator=(const GateTurn&) = delete;
};

std::string Hex(const unsigned char* bytes, std::size_t size) {
    std::string hex(size * 2 + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), bytes, size);
    hex.pop_back();
    return hex;
}

} // namespace

void SetConcurrentHashLimit(unsigned limit) { Gate().setLimit(limit); }

std::string HashPassword(std::string_view password) {
    InitSodium();
    char hash[crypto_pwhash_STRBYTES] = {};
    GateTurn turn;
    if (crypto_pwhash_str(hash, password.data(), password.size(), kOpsLimit, kMemLimit) != 0) {
        throw std::runtime_error("out of memory while hashing a password");
    }
    return hash;
}

bool VerifyPassword(std::string_view hash, std::string_view password) {
    InitSodium();
    const std::string terminated(hash); // libsodium reads the hash as a C string
    GateTurn turn;
    return crypto_pwhash_str_verify(terminated.c_str(), password.data(), password.size()) == 0;
}

void VerifyNothing(std::string_view password) {
    static const std::string dummy = HashPassword("no user has this password");
    VerifyPassword(dummy, password);
}

bool IsPasswordHash(std::string_view stored) { return stored.starts_with("$argon2id$"); }

std::string NewSessionToken() {
    InitSodium();
    unsigned char bytes[16];
    randombytes_buf(bytes, sizeof bytes);
    return Hex(bytes, sizeof bytes);
}

std::string TokenDigest(std::string_view token) {
    InitSodium();
    unsigned char digest[crypto_generichash_BYTES];
    crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char*>(token.data()), token.size(),
                       nullptr, 0);
    return Hex(digest, sizeof digest);
}

} // namespace server
