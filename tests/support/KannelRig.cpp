#include "KannelRig.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fakesmsc {

namespace {

using namespace std::chrono_literals;

// Kannel's start-up is a few seconds (smsbox waits about 2 s before it connects); this only
// bounds a rig that never comes up.
constexpr auto kStartLimit = 30s;

int FreePort() {
    const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (probe < 0 || ::bind(probe, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        if (probe >= 0) {
            ::close(probe);
        }
        throw std::runtime_error("Kannel rig: no free port on 127.0.0.1");
    }
    ::close(probe);
    return ntohs(address.sin_port);
}

std::string RandomWord(std::size_t length) {
    static constexpr std::string_view kLetters = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device device;
    std::string word;
    for (std::size_t i = 0; i < length; ++i) {
        word += kLetters[device() % kLetters.size()];
    }
    return word;
}

// A plain HTTP/1.0 GET on 127.0.0.1; the body, or empty when nothing answers within 2 s.
std::string HttpGet(int port, const std::string& target) {
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket < 0) {
        return {};
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(std::uint16_t(port));
    std::string answer;
    if (::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const std::string request = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (::send(socket, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
            for (;;) {
                pollfd fd{socket, POLLIN, 0};
                if (::poll(&fd, 1, 2000) <= 0) {
                    break;
                }
                char chunk[8192];
                const ssize_t got = ::recv(socket, chunk, sizeof chunk, 0);
                if (got <= 0) {
                    break;
                }
                answer.append(chunk, std::size_t(got));
            }
        }
    }
    ::close(socket);
    const auto body = answer.find("\r\n\r\n");
    return body == std::string::npos ? std::string() : answer.substr(body + 4);
}

std::string Tail(const std::filesystem::path& path, std::size_t lines) {
    std::ifstream file(path);
    std::vector<std::string> all;
    for (std::string line; std::getline(file, line);) {
        all.push_back(line);
    }
    std::string tail;
    for (std::size_t i = all.size() > lines ? all.size() - lines : 0; i < all.size(); ++i) {
        tail += all[i] + '\n';
    }
    return tail;
}

bool PortOpen(int port) {
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(std::uint16_t(port));
    const bool open = socket >= 0 && ::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (socket >= 0) {
        ::close(socket);
    }
    return open;
}

bool SmsboxConnected(const std::string& status) { return status.find("<type>smsbox</type>") != std::string::npos; }

bool SmsboxAndLinkUp(const std::string& status) {
    return SmsboxConnected(status) && status.find("<status>online") != std::string::npos;
}

} // namespace

bool KannelRig::installed() { return ::access(kBearerbox, X_OK) == 0 && ::access(kSmsbox, X_OK) == 0; }

KannelRig::KannelRig(KannelRigOptions options) : m_options(options) {
    char pattern[] = "/tmp/vantro-kannel-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("Kannel rig: cannot make a temporary folder");
    }
    m_folder = pattern;
    m_password = RandomWord(24);
    m_adminPassword = RandomWord(24);
    m_adminPort = FreePort();
    m_smsboxPort = FreePort();
    m_sendsmsPort = FreePort();
    while (m_smsboxPort == m_adminPort) {
        m_smsboxPort = FreePort();
    }
    while (m_sendsmsPort == m_adminPort || m_sendsmsPort == m_smsboxPort) {
        m_sendsmsPort = FreePort();
    }

    const std::string dir = m_folder.string();
    std::ofstream config(m_folder / "kannel.conf");
    config << "group = core\n"
           << "admin-port = " << m_adminPort << "\n"
           << "admin-interface = 127.0.0.1\n"
           << "admin-password = " << m_adminPassword << "\n"
           << "status-password = " << m_adminPassword << "\n"
           << "smsbox-port = " << m_smsboxPort << "\n"
           << "smsbox-interface = 127.0.0.1\n"
           << "box-allow-ip = 127.0.0.1\n"
           << "log-file = \"" << dir << "/bearerbox.log\"\n"
           << "log-level = " << m_options.logLevel << "\n"
           << "access-log = \"" << dir << "/access.log\"\n"
           << "dlr-storage = internal\n"
           << "\n"
           << "group = smsc\n"
           << "smsc = smpp\n"
           << "smsc-id = fake\n"
           << "host = 127.0.0.1\n"
           << "port = " << m_options.smscPort << "\n"
           << "transceiver-mode = true\n"
           << "smsc-username = vantro\n"
           << "smsc-password = fake\n"
           << "system-type = \"\"\n"
           << "enquire-link-interval = 30\n"
           << "reconnect-delay = 1\n"
           << "max-pending-submits = " << m_options.maxPendingSubmits << "\n"
           << "\n"
           << "group = smsbox\n"
           << "bearerbox-host = 127.0.0.1\n"
           << "bearerbox-port = " << m_smsboxPort << "\n"
           << "sendsms-port = " << m_sendsmsPort << "\n"
           << "sendsms-interface = 127.0.0.1\n"
           << "log-file = \"" << dir << "/smsbox.log\"\n"
           << "log-level = " << m_options.logLevel << "\n"
           // Its calls of the service's dlr-url at once: beyond the service's 32 connections from
           // one address the service refuses them, and smsbox drops a report it cannot hand over
           // (without retries, for good).
           << "max-pending-requests = 16\n"
           << "http-request-retry = 3\n"
           << "http-queue-delay = 1\n"
           << "\n"
           << "group = sendsms-user\n"
           << "username = " << m_username << "\n"
           << "password = " << m_password << "\n"
           << "user-allow-ip = 127.0.0.1\n"
           << "concatenation = true\n"
           << "max-messages = 10\n"
           << "\n"
           << "group = sms-service\n"
           << "keyword = default\n"
           << "text = \"\"\n"
           << "catch-all = true\n";
    config.close();
    std::ofstream credentials(credentialsFile());
    credentials << m_username << ':' << m_password << '\n';
    credentials.close();
    // As an operator protects it: the service refuses a file that other users may read.
    std::filesystem::permissions(credentialsFile(), std::filesystem::perms::others_all,
                                 std::filesystem::perm_options::remove);

    try {
        m_bearerbox = spawn(kBearerbox, "bearerbox.out");
        // smsbox gives up at once when bearerbox does not listen yet.
        waitUntil("bearerbox to take boxes", [this] { return PortOpen(m_smsboxPort); });
        m_smsbox = spawn(kSmsbox, "smsbox.out");
        waitUntil("smsbox connected and the SMSC link online", [this] { return SmsboxAndLinkUp(status()); });
    } catch (...) {
        stopProcess(m_smsbox);
        stopProcess(m_bearerbox);
        std::filesystem::remove_all(m_folder);
        throw;
    }
}

KannelRig::~KannelRig() {
    stopProcess(m_smsbox);
    stopProcess(m_bearerbox);
    std::error_code ignored;
    std::filesystem::remove_all(m_folder, ignored);
}

std::string KannelRig::sendsmsUrl() const {
    return "http://127.0.0.1:" + std::to_string(m_sendsmsPort) + "/cgi-bin/sendsms";
}

void KannelRig::stopSmsbox() {
    stopProcess(m_smsbox);
    // bearerbox notices the closed connection at once; wait until it no longer lists the box.
    waitUntil("smsbox gone", [this] {
        const std::string now = status();
        return !now.empty() && !SmsboxConnected(now);
    });
}

void KannelRig::startSmsbox() {
    m_smsbox = spawn(kSmsbox, "smsbox.out");
    waitUntil("smsbox connected again", [this] { return SmsboxAndLinkUp(status()); });
}

std::string KannelRig::status() const {
    return HttpGet(m_adminPort, "/status.xml?password=" + m_adminPassword);
}

std::string KannelRig::logTail() const {
    return "bearerbox:\n" + Tail(m_folder / "bearerbox.log", 15) + Tail(m_folder / "bearerbox.out", 5) +
           "smsbox:\n" + Tail(m_folder / "smsbox.log", 15) + Tail(m_folder / "smsbox.out", 5);
}

pid_t KannelRig::spawn(const char* program, const std::string& logName) {
    const std::string config = (m_folder / "kannel.conf").string();
    const std::string out = (m_folder / logName).string();
    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error(std::string("Kannel rig: cannot start ") + program);
    }
    if (pid == 0) {
        // A process group of its own, so that stopping it reaches whatever it starts; and ended
        // with the test, should the test die before its destructor runs.
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int log = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (log >= 0) {
            ::dup2(log, STDOUT_FILENO);
            ::dup2(log, STDERR_FILENO);
        }
        ::execl(program, program, "-v", "4", config.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::setpgid(pid, pid); // also from here, so that it holds before the first kill
    return pid;
}

void KannelRig::waitUntil(const char* what, const std::function<bool()>& ready) {
    const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (ready()) {
            return;
        }
        for (pid_t* pid : {&m_bearerbox, &m_smsbox}) {
            int exitStatus = 0;
            if (*pid > 0 && ::waitpid(*pid, &exitStatus, WNOHANG) == *pid) {
                *pid = -1;
                throw std::runtime_error(std::string("Kannel rig: a box ended while waiting for ") + what + "\n" +
                                         logTail());
            }
        }
        std::this_thread::sleep_for(100ms);
    }
    throw std::runtime_error(std::string("Kannel rig: timed out waiting for ") + what + "\n" + logTail());
}

void KannelRig::stopProcess(pid_t& pid) {
    if (pid <= 0) {
        return;
    }
    ::kill(-pid, SIGTERM);
    // Kannel shuts down in well under a second; after 5 s it is killed.
    for (int i = 0; i < 50; ++i) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return;
        }
        std::this_thread::sleep_for(100ms);
    }
    ::kill(-pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    pid = -1;
}

} // namespace fakesmsc
