#pragma once

#include "server/settings/Settings.h"

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace server {

// Reads the command line (`arguments`, without the program's name) and the settings file it names
// with --config into `settings`; an option on the command line wins over the file.
//
// Returns nothing when the service is to start. Otherwise the program ends with the returned
// status: 0 after the help went to `out`, 2 after a refusal (an unknown option, an unacceptable
// value, a file that cannot be read) went to `err`.
std::optional<int> readSettings(const std::vector<std::string>& arguments, Settings& settings, std::ostream& out,
                                std::ostream& err);

} // namespace server
