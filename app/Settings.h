#pragma once

#include <stdexcept>
#include <string>
#include <vector>

// The settings an operator hands to the users of a service of their own, so that the packaged
// program reaches it without being built again. One `key = value` a line, `#` starts a comment line:
//
//   service-url = https://sms.example.org    http or https, no trailing slash
//   ca-file = /etc/vantro/ca.pem             PEM of the CA to trust instead of the system's
//
// The files are only read; the program still writes nothing.
namespace global {

// A settings file that cannot be used. what() is the whole message for the user: the file, the
// line and what is wrong with it.
class SettingsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// /etc/vantro/vantro.conf, then vantro/vantro.conf under $XDG_CONFIG_HOME (~/.config when that is
// unset or not absolute).
std::vector<std::string> SettingsFiles();

// Reads `files` in order, skipping those that do not exist; a setting in a later file wins over
// the same setting in an earlier one. Only once every file has been read without fault are
// ServiceUrl and ServiceCaPem changed. Throws SettingsError on an unknown key, a bad value, a line
// that is no setting, a setting given twice in one file or a file that exists but cannot be read:
// the program must not talk to an address its user did not mean.
void ApplySettingsFiles(const std::vector<std::string>& files);

} // namespace global
