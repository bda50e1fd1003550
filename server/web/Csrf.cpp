#include "server/web/Csrf.h"

#include <array>
#include <stdexcept>

#include <sodium.h>

namespace server {

namespace {

constexpr std::size_t kTokenBytes = 32;

} // namespace

std::string NewCsrfToken() {
    if (sodium_init() < 0) {
        throw std::runtime_error("libsodium cannot be initialised");
    }
    std::array<unsigned char, kTokenBytes> bytes{};
    randombytes_buf(bytes.data(), bytes.size());
    std::string hex(kTokenBytes * 2 + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), bytes.data(), bytes.size());
    hex.pop_back();
    return hex;
}

bool IsCsrfToken(std::string_view text) {
    if (text.size() != kTokenBytes * 2) {
        return false;
    }
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

std::string_view CsrfCookieName(bool secure) { return secure ? kCsrfSecureCookieName : kCsrfCookieName; }

std::string CsrfCookieHeader(const std::string& token, bool secure, std::string_view path) {
    if (secure) {
        // The prefix requires Path=/; SameSite and HttpOnly keep it from other sites and scripts.
        return std::string(kCsrfSecureCookieName) + "=" + token + "; Path=/; SameSite=Strict; HttpOnly; Secure";
    }
    // Only the page's own forms need it; scripts never do.
    return std::string(kCsrfCookieName) + "=" + token + "; Path=" + std::string(path) + "; SameSite=Strict; HttpOnly";
}

bool CsrfTokensMatch(std::string_view cookieToken, std::string_view formToken) {
    return IsCsrfToken(cookieToken) && IsCsrfToken(formToken) &&
           sodium_memcmp(cookieToken.data(), formToken.data(), cookieToken.size()) == 0;
}

} // namespace server
