#pragma once

// The credentials files the operator protects (`sudo install -m 640 -g vantro`), one rule for
// every service the delivery logs in to: "user:password" on the first line. They are never given
// on the command line and never written to a log.

#include <string>
#include <string_view>

namespace server {

struct UserPassword {
    std::string user;
    std::string password;
};

// Reads the first line of `path` (a trailing CR dropped) and splits it at its first colon; the
// password may hold colons, the user may not be empty. Throws std::runtime_error naming the file
// and `what` ("SMTP", "SMS gateway"), never its content, when it cannot be read, is malformed, or
// other users of the machine may read or write it.
UserPassword ReadCredentialsFile(const std::string& path, std::string_view what);

} // namespace server
