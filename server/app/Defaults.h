#pragma once

// Where the service listens and keeps its store unless told otherwise. The README and the
// end-to-end tests use them.

#include <string_view>

namespace server {

inline constexpr std::string_view kDefaultHost = "127.0.0.1";
inline constexpr int kDefaultPort = 8471; // the client's default base address is http://127.0.0.1:8471
inline constexpr std::string_view kDefaultDatabaseFile = "vantro-server.db";

} // namespace server
