#pragma once

#include "server/settings/Settings.h"

#include <string>

#include <CLI/CLI.hpp>

namespace server {

// Adds every option of the service to `app`, each setting its field of `settings`, in the order
// the help lists them. Each option's name without its dashes is also its key in the settings file.
void addOptions(CLI::App& app, Settings& settings);

// Whether `value` is acceptable for `option` (a flag takes "true" or "false"), checked as CLI11 checks
// it; a refusal names the option, and for the settings file the line.
bool acceptable(CLI::Option& option, std::string value);

} // namespace server
