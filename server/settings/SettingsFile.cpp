#include "server/settings/SettingsFile.h"

#include "server/settings/OptionTable.h"

#include <utility>

namespace server {

namespace {

std::string_view trim(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

} // namespace

std::vector<CLI::ConfigItem> SettingsFile::from_config(std::istream& input) const {
    const std::string path = m_app.get_config_ptr()->as<std::string>();
    std::vector<CLI::ConfigItem> items;
    std::string line;
    for (int number = 1; std::getline(input, line); ++number) {
        const std::string_view text = trim(line);
        if (!text.empty() && text.front() != '#') {
            CLI::ConfigItem item = readLine(text, path + ":" + std::to_string(number) + ": ");
            // CLI11 takes the first value of a name and skips the others; in the file the last counts.
            std::erase_if(items, [&item](const CLI::ConfigItem& earlier) { return earlier.name == item.name; });
            items.push_back(std::move(item));
        }
    }
    return items;
}

CLI::ConfigItem SettingsFile::readLine(std::string_view text, const std::string& where) const {
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) {
        throw CLI::ConfigError(where + "expected \"name = value\"");
    }
    const std::string name(trim(text.substr(0, equals)));
    const std::string value(trim(text.substr(equals + 1)));
    CLI::Option* option = name.empty() ? nullptr : m_app.get_option_no_throw("--" + name);
    if (option == nullptr || !option->get_configurable()) {
        throw CLI::ConfigError(where + "unknown option \"" + name + "\"");
    }
    if (!acceptable(*option, value)) {
        throw CLI::ConfigError(where + "unacceptable value \"" + value + "\" for " + name);
    }
    CLI::ConfigItem item;
    item.name = name;
    item.inputs = {value};
    return item;
}

} // namespace server
