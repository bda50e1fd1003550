#pragma once

#include <istream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace server {

// The reader of the settings file for CLI11: one "name = value" a line, the name being an option's
// long name without its dashes; blank lines and lines starting with "#" are skipped, and a value is
// taken as written up to the end of its line, spaces around it trimmed (no quotes, sections or
// lists as in CLI11's INI and TOML readers). A flag is "true" or "false".
//
// A line that is not "name = value", an unknown name or an unacceptable value is refused with the
// file's name and the line's number (CLI::ConfigError); every line is checked, also those the
// command line overrides.
class SettingsFile final : public CLI::Config {
public:
    // `app`: the options the names are looked up in, and the --config option naming the file.
    explicit SettingsFile(CLI::App& app) : m_app(app) {}

    std::vector<CLI::ConfigItem> from_config(std::istream& input) const override;
    // Writing a settings file is not needed; CLI11 requires the method.
    std::string to_config(const CLI::App*, bool, bool, std::string) const override { return {}; }

private:
    CLI::ConfigItem readLine(std::string_view text, const std::string& where) const;

    CLI::App& m_app;
};

} // namespace server
