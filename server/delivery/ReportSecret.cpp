#include "server/delivery/ReportSecret.h"

#include <array>
#include <stdexcept>

#include <sodium.h>

namespace server {

namespace {

void InitSodium() {
    if (sodium_init() < 0) {
        throw std::runtime_error("libsodium could not start");
    }
}

} // namespace

std::string NewReportSecret() {
    InitSodium();
    std::array<unsigned char, 16> bytes{};
    randombytes_buf(bytes.data(), bytes.size());
    std::array<char, 33> hex{};
    sodium_bin2hex(hex.data(), hex.size(), bytes.data(), bytes.size());
    return hex.data();
}

std::string ReportSecretHash(std::string_view secret) {
    InitSodium();
    std::array<unsigned char, 32> hash{};
    crypto_generichash(hash.data(), hash.size(), reinterpret_cast<const unsigned char*>(secret.data()), secret.size(),
                       nullptr, 0);
    std::array<char, 65> hex{};
    sodium_bin2hex(hex.data(), hex.size(), hash.data(), hash.size());
    return hex.data();
}

bool ReportSecretMatches(std::string_view secret, std::string_view storedHash) {
    const std::string presented = ReportSecretHash(secret);
    return storedHash.size() == presented.size() &&
           sodium_memcmp(presented.data(), storedHash.data(), presented.size()) == 0;
}

} // namespace server
