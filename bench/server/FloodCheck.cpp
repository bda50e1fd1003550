// vantro-server-flood: does the service keep answering its users while it is flooded? It starts
// vantro-server on 127.0.0.1 with a store of its own, then runs three floods, one after the other,
// each from loopback addresses of its own:
//
//   slow-body  600 connections from 127.0.0.2-7, each sending a login's head and then one body
//              byte every 5 s;
//   idle       2,000 connections from 127.0.0.2-21 that send nothing;
//   logins     300 clients from 127.0.0.2-4 logging the demo user in over and over.
//
// A connection the service closes is opened again, so the flood keeps its size. While a flood
// runs, a normal login from 127.0.0.100 and a normal send from 127.0.0.101, by a user registered
// for it through the account pages, each on a new connection as the program connects, are timed
// every few seconds. Goals: every login answered
// within 1 s (2 s under the login flood) and every send within 100 ms. Every flood is bounded in
// connections and in time, speaks only to 127.0.0.1, and stops by itself.
//
//   vantro-server-flood --server PATH [--seconds S] [--only slow-body|idle|logins] [--check]
//                       [-- SERVICE OPTIONS...]
//
// With --check it exits with 1 when a goal is missed. The floods and their connections are
// Floods.h's; this file starts the service, times the probes and writes the report.

#include "Floods.h"
#include "LoopbackService.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace flood;

namespace {

using Millis = std::chrono::duration<double, std::milli>;

constexpr const char* kSenderNumber = "7125550100";
constexpr const char* kSenderLogin =
    "<QVRLogin>    <Login>7125550100</Login>    <Password>flood-check</Password></QVRLogin>";
constexpr const char* kLoginAddress = "127.0.0.100";
constexpr const char* kSendAddress = "127.0.0.101";
// A probe that has no answer after this long counts as missed; it also bounds the probe.
constexpr auto kProbeTimeout = std::chrono::seconds(5);

// One request on a new connection from `source`, read until the service closes it; nullopt when
// the whole answer did not arrive within the timeout (or the connection failed).
std::optional<std::string> Exchange(const std::string& source, int port, const std::string& request,
                                    Clock::duration timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    const int fd = Connect(source, port, true);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string answer;
    std::size_t sent = 0;
    bool ok = false;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            break;
        }
        pollfd wanted{fd, static_cast<short>(sent < request.size() ? POLLOUT : POLLIN), 0};
        if (poll(&wanted, 1, static_cast<int>(left)) <= 0) {
            continue;
        }
        if (sent < request.size()) {
            const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN) {
                break;
            }
            sent += n > 0 ? static_cast<std::size_t>(n) : 0;
            continue;
        }
        char buffer[4096];
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            answer.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0) {
            ok = !answer.empty();
            break;
        } else if (errno != EAGAIN) {
            break;
        }
    }
    close(fd);
    return ok ? std::optional<std::string>(answer) : std::nullopt;
}

struct Probe {
    double loginMs = 0; // -1: no answer in time
    bool loginAccepted = false;
    double sendMs = 0;
    bool sendAccepted = false;
};

std::string Format(double ms) {
    if (ms < 0) {
        return "none in " + std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kProbeTimeout).count()) +
               " s";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.0f", ms);
    return text;
}

// The normal users' exchanges, timed.
Probe ProbeOnce(int port, const std::string& send) {
    Probe probe;
    Clock::time_point start = Clock::now();
    const auto login = Exchange(kLoginAddress, port, Post("/vantro_login.aspx", kDemoLogin), kProbeTimeout);
    probe.loginMs = login ? Millis(Clock::now() - start).count() : -1;
    probe.loginAccepted = login && login->find("<result>TRUE</result>") != std::string::npos;
    start = Clock::now();
    const auto sent = Exchange(kSendAddress, port, Post("/vantro_send.aspx", send), kProbeTimeout);
    probe.sendMs = sent ? Millis(Clock::now() - start).count() : -1;
    probe.sendAccepted = sent && sent->find("<send>Your message was sent") != std::string::npos;
    return probe;
}

std::string FormPost(const std::string& cookie, const std::string& form) {
    return "POST /login.aspx?regstart=true HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nCookie: " + cookie +
           "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " + std::to_string(form.size()) +
           "\r\n\r\n" + form;
}

// Registers kSenderNumber through the registration pages, with the code the service prints on its
// console (delivery is off).
bool RegisterSender(int port, int console) {
    const auto page = Exchange(kSendAddress, port,
                               "GET /login.aspx?regstart=true HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n",
                               std::chrono::seconds(10));
    const std::string cookie = page ? bench::Between(*page, "Set-Cookie: ", ";") : std::string();
    const std::string token = cookie.substr(cookie.find('=') + 1);
    const std::string fields = "form_token=" + token + "&number=" + kSenderNumber + "&carrier=AT%26T";
    if (cookie.empty() ||
        !Exchange(kSendAddress, port, FormPost(cookie, fields + "&step=request"), std::chrono::seconds(10))) {
        return false;
    }
    const std::string mark = std::string("Verification code for ") + kSenderNumber + ": ";
    std::string lines;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    while (lines.find(mark) == std::string::npos || lines.size() < lines.find(mark) + mark.size() + 6) {
        pollfd readable{console, POLLIN, 0};
        char buffer[1024];
        ssize_t got = 0;
        if (Clock::now() > deadline || poll(&readable, 1, 1000) < 0 ||
            ((readable.revents & POLLIN) != 0 && (got = read(console, buffer, sizeof buffer)) <= 0)) {
            return false;
        }
        lines.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    }
    const std::string code = lines.substr(lines.find(mark) + mark.size(), 6);
    const auto done = Exchange(
        kSendAddress, port,
        FormPost(cookie, fields + "&step=confirm&code=" + code + "&password=flood-check&confirmation=flood-check"),
        std::chrono::seconds(30));
    return done && done->find("You are registered") != std::string::npos;
}

bool Accepting(int port) {
    const int fd = Connect("127.0.0.1", port, false);
    if (fd >= 0) {
        close(fd);
    }
    return fd >= 0;
}

// Room for every flooding connection and the service's own (it inherits the limit).
void RaiseDescriptorLimit() {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const rlim_t wanted = std::min<rlim_t>(limit.rlim_max, 16384);
    if (limit.rlim_cur < wanted) {
        limit.rlim_cur = wanted;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < 4500) {
        std::cerr << "vantro-server-flood: only " << limit.rlim_cur
                  << " file descriptors allowed; the idle flood needs some 4,500 (ulimit -Hn)\n";
    }
}

pid_t g_service = 0;

// The last resort if a run hangs: the service never outlives the check.
void OnAlarm(int) {
    if (g_service > 0) {
        kill(g_service, SIGKILL);
    }
    _exit(3);
}

} // namespace

int main(int argc, char** argv) {
    std::string serverPath;
    double seconds = 30;
    std::string only;
    bool check = false;
    std::vector<std::string> serviceOptions;
    for (int i = 1; i < argc; ++i) {
        const std::string_view name = argv[i];
        if (name == "--") {
            serviceOptions.assign(argv + i + 1, argv + argc);
            break;
        }
        if (name == "--check") {
            check = true;
        } else if (name == "--server" && i + 1 < argc) {
            serverPath = argv[++i];
        } else if (name == "--seconds" && i + 1 < argc) {
            seconds = std::clamp(std::atof(argv[++i]), 10.0, 120.0);
        } else if (name == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else {
            serverPath.clear();
            break;
        }
    }
    if (serverPath.empty()) {
        std::cerr << "Usage: vantro-server-flood --server PATH [--seconds S] [--only slow-body|idle|logins] [--check] "
                     "[-- SERVICE OPTIONS...]\n";
        return 2;
    }
    RaiseDescriptorLimit();
    signal(SIGPIPE, SIG_IGN);
    signal(SIGALRM, &OnAlarm);
    alarm(static_cast<unsigned>(seconds * 3 + 120));

    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("vantro-flood-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string database = (dir / "flood.db").string();
    const int port = bench::FreeLoopbackPort();
    const std::string portText = std::to_string(port);
    std::vector<std::string> arguments = {
        "vantro-server",      "--host", "127.0.0.1",       "--port", portText, "--db", database,
        "--sends-per-minute", "0",      "--sends-per-day", "0"};
    arguments.insert(arguments.end(), serviceOptions.begin(), serviceOptions.end());
    // The service's console, for the code that registers the sending user.
    int console[2] = {-1, -1};
    if (pipe2(console, O_CLOEXEC) != 0) {
        std::cerr << "vantro-server-flood: no pipe for the service's console\n";
        return 1;
    }
    g_service = fork();
    if (g_service == 0) {
        dup2(console[1], STDOUT_FILENO);
        std::vector<char*> argv2;
        for (std::string& argument : arguments) {
            argv2.push_back(argument.data());
        }
        argv2.push_back(nullptr);
        execv(serverPath.c_str(), argv2.data());
        _exit(127);
    }
    for (int i = 0; i < 100 && !Accepting(port); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    close(console[1]);
    const auto stopService = [&] {
        kill(g_service, SIGTERM);
        waitpid(g_service, nullptr, 0);
        std::filesystem::remove_all(dir);
    };
    // The sender is a user of its own: the login flood's sessions of the demo user would end the
    // sender's, since a user keeps only its newest sessions.
    const bool registered = RegisterSender(port, console[0]);
    // Read on, so that the service never waits for its console.
    std::thread drain([fd = console[0]] {
        char buffer[4096];
        while (read(fd, buffer, sizeof buffer) > 0) {
        }
        close(fd);
    });
    drain.detach();
    if (!registered) {
        std::cerr << "vantro-server-flood: could not register the sending user\n";
        stopService();
        return 1;
    }
    const auto first = Exchange(kSendAddress, port, Post("/vantro_login.aspx", kSenderLogin), std::chrono::seconds(30));
    const std::string token = first ? bench::Between(*first, "<string>", "</string>") : std::string();
    if (token.size() != 32) {
        std::cerr << "vantro-server-flood: the service on port " << port << " did not log the sender in\n";
        stopService();
        return 1;
    }
    const std::string send = bench::SendRequest(token, "Flood", "Still here.");

    std::printf("%u cores; each flood %.0f s, probed every %.0f s after the first %.0f s; goals: login %s, send "
                "100 ms\n",
                std::thread::hardware_concurrency(), seconds, seconds / 6, seconds / 6, "1 s (2 s under logins)");
    std::printf("| flood | connections | from | opened | closed by service | logins: accepted / answered | login ms "
                "(each probe) | send ms (each probe) | goal |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---|---|---|\n");
    bool allMet = true;
    for (const Flood& flood : kFloods) {
        if (!only.empty() && only != flood.name) {
            continue;
        }
        Flooder flooder(flood, port);
        const Clock::time_point begin = Clock::now();
        const Clock::time_point end =
            begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        std::thread flooding([&] { flooder.run(end); });
        std::vector<Probe> probes;
        // Probes from the moment the flood is in place until shortly before it ends.
        for (int i = 1; i <= 5; ++i) {
            std::this_thread::sleep_until(
                begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds * i / 6)));
            probes.push_back(ProbeOnce(port, send));
        }
        flooding.join();
        std::string logins, sends;
        bool met = true;
        for (const Probe& probe : probes) {
            logins += (logins.empty() ? "" : ", ") + Format(probe.loginMs) + (probe.loginAccepted ? "" : " (refused)");
            sends += (sends.empty() ? "" : ", ") + Format(probe.sendMs) + (probe.sendAccepted ? "" : " (refused)");
            met = met && probe.loginAccepted && probe.loginMs >= 0 && probe.loginMs <= flood.loginGoalMs &&
                  probe.sendAccepted && probe.sendMs >= 0 && probe.sendMs <= flood.sendGoalMs;
        }
        allMet = allMet && met;
        std::printf("| %s | %d | %d addresses | %zu | %zu | %zu / %zu | %s | %s | %s |\n", flood.name,
                    flood.connections, flood.addresses, flooder.opened(), flooder.closedByService(),
                    flooder.loginsAccepted(), flooder.loginsAnswered(), logins.c_str(), sends.c_str(),
                    met ? "met" : "MISSED");
        std::fflush(stdout);
        flooder.closeAll();
        // The service gets to close what the flood left behind before the next flood starts.
        std::this_thread::sleep_for(std::chrono::seconds(2));
    }
    stopService();
    return check && !allMet ? 1 : 0;
}
