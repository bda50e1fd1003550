#pragma once

// Password hashes and session tokens. Hashes are argon2id strings that carry their own salt and
// cost, so a store keeps working when the cost changes.

#include <string>
#include <string_view>

namespace server {

// Hashing is costly by design (tens of megabytes and milliseconds each), so at most this many
// hashes run at once in the process; further callers wait their turn. 0: the number of cores.
void SetConcurrentHashLimit(unsigned limit);

// An argon2id hash string of the password. Throws std::runtime_error when out of memory.
std::string HashPassword(std::string_view password);
// True when the password matches a hash made by HashPassword.
bool VerifyPassword(std::string_view hash, std::string_view password);
// Takes as long as a VerifyPassword that fails, so that an unknown login cannot be told from a
// wrong password by the answer's delay.
void VerifyNothing(std::string_view password);
// Whether a stored password text is such a hash (stores written before hashing hold plain text).
bool IsPasswordHash(std::string_view stored);

// 128 random bits as 32 lower-case hex digits, from the system's secure generator.
std::string NewSessionToken();
// What the store keeps of a token: its BLAKE2b digest in hex, so that a copy of the store does
// not give away live sessions.
std::string TokenDigest(std::string_view token);

} // namespace server
