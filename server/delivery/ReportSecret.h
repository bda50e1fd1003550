#pragma once

// The secret each submitted text carries in its delivery-report address: whoever calls that
// address must show it, so that nobody who merely guesses a message id can move its state. The
// store keeps only its hash.

#include <string>
#include <string_view>

namespace server {

// 128 random bits (libsodium), as 32 lowercase hex digits: safe in a URL as it stands.
std::string NewReportSecret();

// The hash the store keeps (BLAKE2b-256, hex). A fast hash suffices: the secret is random and
// long, so there is nothing to guess from the hash.
std::string ReportSecretHash(std::string_view secret);

// Compares a presented secret with a stored hash in constant time.
bool ReportSecretMatches(std::string_view secret, std::string_view storedHash);

} // namespace server
