#include "server/delivery/CredentialsFile.h"

#include <fstream>
#include <stdexcept>

#include <sys/stat.h>

namespace server {

UserPassword ReadCredentialsFile(const std::string& path, std::string_view what) {
    const std::string kind(what);
    // A file that any user of the machine may read hands the login to all of them.
    struct stat status {};
    if (stat(path.c_str(), &status) == 0 && (status.st_mode & S_IRWXO) != 0) {
        throw std::runtime_error("the " + kind + " credentials file " + path +
                                 " is open to every user of this machine; allow only the service (chmod o-rwx " + path +
                                 ")");
    }
    std::ifstream file(path);
    std::string line;
    if (!file || !std::getline(file, line)) {
        throw std::runtime_error("cannot read the " + kind + " credentials file " + path);
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    const auto colon = line.find(':');
    if (colon == std::string::npos || colon == 0) {
        throw std::runtime_error("the " + kind + " credentials file " + path +
                                 " must hold user:password on its first line");
    }
    return {line.substr(0, colon), line.substr(colon + 1)};
}

} // namespace server
