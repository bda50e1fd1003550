#include "app/Settings.h"

#include "app/Global.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <system_error>

namespace global {

namespace {

const char* const ServiceUrlKey = "service-url";
const char* const CaFileKey = "ca-file";
constexpr std::uintmax_t MaxCaFileBytes = 1024 * 1024;

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// Every exchange path and page is appended to this address, so it must be a bare base: a scheme
// libcurl and the browser both take, a host, maybe a path, and nothing that would change how an
// appended path reads (a query, a fragment, a blank, a trailing slash).
std::optional<std::string> serviceUrlFault(const std::string& url) {
    std::size_t hostStart = 0;
    if (url.rfind("http://", 0) == 0) {
        hostStart = 7;
    } else if (url.rfind("https://", 0) == 0) {
        hostStart = 8;
    } else {
        return "it must start with http:// or https://";
    }
    if (url.size() == hostStart || url[hostStart] == '/') {
        return "it names no host";
    }
    for (const char c : url) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F || c == '?' || c == '#' || c == '"' || c == '<' || c == '>' || c == '\\' ||
            c == '`' || c == '{' || c == '}' || c == '|' || c == '^') {
            return "it holds a character that has no place in a service address";
        }
    }
    if (url.back() == '/') {
        return "it must not end with a slash";
    }
    return std::nullopt;
}

struct CaFile {
    std::string pem;
    std::string fault; // empty: usable
};

CaFile readCaFile(const std::string& path) {
    if (!std::filesystem::path(path).is_absolute()) {
        return {{}, "it must be an absolute path"};
    }
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (error) {
        return {{}, path + " cannot be read (" + error.message() + ")"};
    }
    if (size > MaxCaFileBytes) {
        return {{}, path + " is too large for a CA certificate"};
    }
    std::ifstream in(path, std::ios::binary);
    std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
        return {{}, path + " cannot be read"};
    }
    const auto begin = pem.find("-----BEGIN CERTIFICATE-----");
    if (begin == std::string::npos || pem.find("-----END CERTIFICATE-----", begin) == std::string::npos) {
        return {{}, path + " holds no PEM certificate"};
    }
    return {std::move(pem), {}};
}

} // namespace

std::vector<std::string> SettingsFiles() {
    std::vector<std::string> files{"/etc/vantro/vantro.conf"};
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    if (configHome != nullptr && configHome[0] == '/') {
        files.push_back(std::string(configHome) + "/vantro/vantro.conf");
    } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        files.push_back(std::string(home) + "/.config/vantro/vantro.conf");
    }
    return files;
}

void ApplySettingsFiles(const std::vector<std::string>& files) {
    std::optional<std::string> serviceUrl;
    std::optional<std::string> caPem;
    for (const std::string& file : files) {
        std::error_code error;
        const auto status = std::filesystem::status(file, error);
        if (status.type() == std::filesystem::file_type::not_found) {
            continue;
        }
        std::ifstream in(file, std::ios::binary);
        if (error || !std::filesystem::is_regular_file(status) || !in) {
            throw SettingsError("The settings file " + file + " cannot be read.");
        }
        std::set<std::string> seen;
        std::string line;
        for (int number = 1; std::getline(in, line); ++number) {
            const auto fail = [&](const std::string& what) {
                throw SettingsError("The settings file " + file + ", line " + std::to_string(number) + ": " + what +
                                    ".");
            };
            if (number == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) {
                line.erase(0, 3); // an editor's byte order mark is no part of the first key
            }
            const std::string content = trimmed(line);
            if (content.empty() || content.front() == '#') {
                continue;
            }
            const auto equals = content.find('=');
            if (equals == std::string::npos) {
                fail("this is no setting; a line reads key = value");
            }
            const std::string key = trimmed(content.substr(0, equals));
            const std::string value = trimmed(content.substr(equals + 1));
            if (key != ServiceUrlKey && key != CaFileKey) {
                fail("\"" + key + "\" is no setting; the settings are " + ServiceUrlKey + " and " + CaFileKey);
            }
            if (!seen.insert(key).second) {
                fail(key + " is set a second time in this file");
            }
            if (value.empty()) {
                fail(key + " has no value");
            }
            if (key == ServiceUrlKey) {
                if (const auto fault = serviceUrlFault(value)) {
                    fail(key + " \"" + value + "\" is not a service address: " + *fault);
                }
                serviceUrl = value;
            } else {
                CaFile ca = readCaFile(value);
                if (!ca.fault.empty()) {
                    fail(key + ": " + ca.fault);
                }
                caPem = std::move(ca.pem);
            }
        }
        if (in.bad()) {
            throw SettingsError("The settings file " + file + " cannot be read.");
        }
    }
    if (serviceUrl) {
        ServiceUrl = *serviceUrl;
    }
    if (caPem) {
        ServiceCaPem = *caPem;
    }
}

} // namespace global
