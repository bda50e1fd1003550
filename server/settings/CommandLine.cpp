#include "server/settings/CommandLine.h"

#include "server/settings/OptionTable.h"
#include "server/settings/SettingsFile.h"

#include <cstdlib>
#include <memory>

namespace server {

namespace {

constexpr int kRefused = 2;

// The help in our own plain layout, which packaging/check-manual.sh reads: one line per option
// with its value's name, its text at column 37.
class OptionList final : public CLI::FormatterBase {
public:
    std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode) const override {
        std::string help = "Usage: " + app->get_name() + " [options]\n";
        for (const CLI::Option* option : app->get_options()) {
            std::string left = "  --" + option->get_lnames().front();
            if (option->get_expected_min() != 0) {
                left += " " + option->get_type_name();
            }
            help += left + std::string(left.size() < 36 ? 36 - left.size() : 1, ' ') + option->get_description() + "\n";
        }
        return help;
    }
};

// The first given value that its option refuses, written as a refusal; CLI11's own message names
// the option but not the value.
std::string refusal(CLI::App& app) {
    for (CLI::Option* option : app.get_options([](const CLI::Option* option) { return option->count() > 0; })) {
        for (const std::string& value : option->results()) {
            if (!acceptable(*option, value)) {
                return "unacceptable value \"" + value + "\" for --" + option->get_lnames().front();
            }
        }
    }
    return {};
}

// Writes why the parse just failed (the exception being handled) to `err`.
void refuse(CLI::App& app, std::ostream& err) {
    err << "vantro-server: ";
    try {
        throw;
    } catch (const CLI::FileError&) {
        err << "cannot read the configuration file " << app.get_config_ptr()->as<std::string>() << "\n";
    } catch (const CLI::ValidationError& e) {
        const std::string text = refusal(app);
        err << (text.empty() ? e.what() : text) << "\n";
    } catch (const CLI::ArgumentMismatch& e) {
        // An option without its value; CLI11's message starts with the option's name and a colon.
        const std::string text = e.what();
        err << "unknown or incomplete option \"" << text.substr(0, text.find(':')) << "\"\n" << app.help();
    } catch (const CLI::ConfigError& e) {
        err << e.what() << "\n";
    } catch (const CLI::ParseError& e) {
        err << e.what() << "\n" << app.help();
    }
}

} // namespace

std::optional<int> readSettings(const std::vector<std::string>& arguments, Settings& settings, std::ostream& out,
                                std::ostream& err) {
    CLI::App app("", "vantro-server");
    app.formatter(std::make_shared<OptionList>());
    app.config_formatter(std::make_shared<SettingsFile>(app));
    app.allow_extras(); // told apart below, with the usage
    addOptions(app, settings);

    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend()); // CLI11 takes them last first
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        // The help wins over a refusal, as before: it was shown before any file or value was read.
        if (dynamic_cast<const CLI::CallForHelp*>(&e) != nullptr || app.get_help_ptr()->count() > 0) {
            out << app.help();
            return EXIT_SUCCESS;
        }
        refuse(app, err);
        return kRefused;
    }
    if (!app.remaining().empty()) {
        err << "vantro-server: unknown or incomplete option \"" << app.remaining().front() << "\"\n" << app.help();
        return kRefused;
    }
    if (settings.sms.url.empty() && (!settings.sms.from.empty() || !settings.smsCredentials.empty())) {
        err << "vantro-server: --sms-from and --sms-gateway-credentials need --sms-gateway\n";
        return kRefused;
    }
    if (settings.smtp.url.empty() &&
        (!settings.smtp.from.empty() || !settings.smtpCredentials.empty() || settings.smtp.insecure)) {
        err << "vantro-server: --smtp-from, --smtp-credentials and --smtp-insecure need --smtp\n";
        return kRefused;
    }
    return std::nullopt;
}

} // namespace server
