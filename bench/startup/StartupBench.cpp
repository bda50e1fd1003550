// Start-up to the first paint, and peak memory after a login, of the program against the
// smallest Qt program showing one frameless window. Both run as fresh processes on the display
// the benchmark is given; the program talks to the local service started here.

#include "bench/BenchService.h"
#include "bench/BookAnswer.h"
#include "tests/support/LoopbackServer.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

struct ProbeRun {
    std::string report; // the line the probe printed, empty when it printed none in time
    double seconds = 0; // from the start of the process to its report
    double peakMiB = 0; // the most memory the process ever held
};

ProbeRun runProbe(const std::vector<std::string>& command) {
    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0) {
        return {};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const std::string& part : command) {
        argv.push_back(const_cast<char*>(part.c_str()));
    }
    argv.push_back(nullptr);

    ProbeRun run;
    const auto start = std::chrono::steady_clock::now();
    pid_t child = 0;
    const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(output[1]);
    if (spawned != 0) {
        close(output[0]);
        return {};
    }
    char buffer[64];
    std::size_t length = 0;
    pollfd ready{output[0], POLLIN, 0};
    while (length < sizeof buffer && poll(&ready, 1, 20000) == 1) {
        const ssize_t n = read(output[0], buffer + length, sizeof buffer - length);
        if (n <= 0) {
            break;
        }
        length += static_cast<std::size_t>(n);
        if (std::memchr(buffer, '\n', length) != nullptr) {
            break;
        }
    }
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    close(output[0]);
    // Already ending. A session bus the probe runs under is stopped as the probe ends, so it is
    // given a moment to, before it is made sure of.
    int status = 0;
    for (int waited = 0; waited < 200 && waitpid(child, &status, WNOHANG) == 0; ++waited) {
        usleep(10000);
    }
    if (waitpid(child, &status, WNOHANG) == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    const char* const lineEnd = std::find(buffer, buffer + length, '\n');
    const char* const tab = std::find(static_cast<const char*>(buffer), lineEnd, '\t');
    run.report.assign(static_cast<const char*>(buffer), tab);
    // The probe's own peak; ru_maxrss would carry this process's peak over into the child.
    run.peakMiB = tab != lineEnd ? std::strtod(std::string(tab + 1, lineEnd).c_str(), nullptr) / 1024.0 : 0.0;
    return run;
}

std::vector<std::string> programCommand(const char* mode) { return {VANTRO_PROBE, BenchService().baseUrl(), mode}; }
std::vector<std::string> minimalCommand() { return {MINIMAL_PROBE}; }

void timeToFirstPaint(benchmark::State& state, const std::vector<std::string>& command) {
    for (auto _ : state) {
        const ProbeRun run = runProbe(command);
        if (run.report != "painted") {
            state.SkipWithError(("no first paint reported: \"" + run.report + "\"").c_str());
            break;
        }
        state.SetIterationTime(run.seconds);
    }
}

void peakMemory(benchmark::State& state, const std::vector<std::string>& command, const char* expected) {
    std::vector<double> peaks;
    for (auto _ : state) {
        const ProbeRun run = runProbe(command);
        if (run.report != expected) {
            state.SkipWithError(("the probe reported \"" + run.report + "\"").c_str());
            return;
        }
        state.SetIterationTime(run.seconds);
        peaks.push_back(run.peakMiB);
    }
    std::sort(peaks.begin(), peaks.end());
    state.counters["peak_MiB"] = peaks.empty() ? 0.0 : peaks[peaks.size() / 2];
}

void StartupOurs(benchmark::State& state) { timeToFirstPaint(state, programCommand("paint")); }
void StartupAnchor(benchmark::State& state) { timeToFirstPaint(state, minimalCommand()); }
void MemoryOurs(benchmark::State& state) { peakMemory(state, programCommand("login"), "logged in"); }
void MemoryAnchor(benchmark::State& state) { peakMemory(state, minimalCommand(), "painted"); }

// A service on the loopback that takes any login and answers with a book of `friends` friends, at
// no cost of its own: the probe's CPU time is what is measured.
LoopbackServer& bookService(int friends) {
    static std::map<int, std::unique_ptr<LoopbackServer>> services;
    std::unique_ptr<LoopbackServer>& service = services[friends];
    if (!service) {
        service = std::make_unique<LoopbackServer>();
        service->replyXml("/vantro_carriers.aspx", "<carriers><carrier>Verizon</carrier><carrier>AT&amp;T</carrier>"
                                                   "</carriers>");
        service->replyXml("/vantro_login.aspx", "<login><result>TRUE</result><string>42</string></login>");
        service->replyXml("/vantro_ab.aspx", BookAnswer(friends));
    }
    return *service;
}

// The CPU time of the program from the Login click to the address book window's first paint. With
// `accessibility`, as with a screen reader running: on a session bus of its own, with the
// accessibility bus started there (as a desktop session starts it; Qt waits for it, it does not
// start it) and the bridge forced on.
void AddressBookOpened(benchmark::State& state, int friends, bool accessibility) {
    std::vector<std::string> command{"/bin/sh", "-c", "exec \"$@\"", "sh"};
    if (accessibility) {
        // The accessibility services answer on standard output too: only the probe may, on fd 3.
        const std::string probe = "dbus-send --session --dest=org.a11y.Bus --type=method_call --print-reply "
                                  "/org/a11y/bus org.a11y.Bus.GetAddress >/dev/null && "
                                  "exec env QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 \"$@\" >&3";
        command = {"/bin/sh", "-c", "exec 3>&1; exec dbus-run-session -- /bin/sh -c '" + probe + "' sh \"$@\" >/dev/null",
                   "sh"};
    }
    for (const std::string& part : {std::string(VANTRO_PROBE), bookService(friends).url(), std::string("book")}) {
        command.push_back(part);
    }
    const std::string opened = "book opened ";
    for (auto _ : state) {
        const ProbeRun run = runProbe(command);
        if (run.report.rfind(opened, 0) != 0) {
            state.SkipWithError(("the probe reported \"" + run.report + "\"").c_str());
            break;
        }
        state.SetIterationTime(std::strtod(run.report.c_str() + opened.size(), nullptr) / 1e9);
    }
}

} // namespace

// Each with a book of 30,000 friends as "ours" and of 100 as "anchor", so that the table shows how
// much more the larger book costs.
const bool addressBookOpenedRegistered = [] {
    for (const bool accessibility : {false, true}) {
        const std::string measure = accessibility ? "login to address book painted with a screen reader, CPU time, "
                                                  : "login to address book painted, CPU time, ";
        for (const auto& [side, friends] : {std::pair{"ours", 30000}, std::pair{"anchor", 100}}) {
            benchmark::RegisterBenchmark((measure + "30,000 against 100 friends/" + side).c_str(), AddressBookOpened,
                                         friends, accessibility)
                ->Iterations(3)
                ->Unit(benchmark::kMillisecond)
                ->UseManualTime();
        }
    }
    return true;
}();

BENCHMARK(StartupOurs)->Name("start-up to first paint/ours")->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(StartupAnchor)->Name("start-up to first paint/anchor")->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(MemoryOurs)->Name("peak memory after a login/ours")->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(MemoryAnchor)->Name("peak memory after a login/anchor")->Unit(benchmark::kMillisecond)->UseManualTime();

int main(int argc, char** argv) { return RunBenchmarksThenStopService(argc, argv); }
