// vantro-server: the service the program talks to, run on one machine or for real users.
//
//   vantro-server [--host ADDRESS] [--port N] [--db PATH]
//
// Serves until SIGINT (Ctrl+C) or SIGTERM, then stops cleanly.

#include "DemoData.h"
#include "Server.h"

#include <csignal>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <string_view>

#include <pthread.h>

namespace {

void Usage(std::ostream& out) {
    out << "Usage: vantro-server [--host ADDRESS] [--port N] [--db PATH]\n"
           "  --host ADDRESS  address to listen on (default "
        << server::kDefaultHost << ")\n"
        << "  --port N        port to listen on, 0 for any free port (default " << server::kDefaultPort << ")\n"
        << "  --db PATH       the SQLite store, created when missing (default ./" << server::kDefaultDatabaseFile
        << ")\n"
           "  --help          show this text\n";
}

bool ParsePort(const std::string& text, int& port) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    port = std::stoi(text);
    return port <= 65535;
}

} // namespace

int main(int argc, char** argv) {
    server::ServerOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            Usage(std::cout);
            return EXIT_SUCCESS;
        }
        if (arg == "--port" && hasValue) {
            if (!ParsePort(argv[++i], options.port)) {
                std::cerr << "vantro-server: --port needs a number from 0 to 65535, not \"" << argv[i] << "\"\n";
                return 2;
            }
        } else if (arg == "--host" && hasValue) {
            options.host = argv[++i];
        } else if (arg == "--db" && hasValue) {
            options.databasePath = argv[++i];
        } else {
            std::cerr << "vantro-server: unknown or incomplete option \"" << arg << "\"\n";
            Usage(std::cerr);
            return 2;
        }
    }
    options.console = [](const std::string& line) { std::cout << line << std::endl; };

    // Block the stop signals in every thread (the server's threads inherit the mask) and wait
    // for them on this one.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        server::Server service(options);
        service.start();
        std::cout << "Vantro service listening on " << service.baseUrl() << " (port " << service.port() << "), store "
                  << options.databasePath << "\n"
                  << "Demo user: login " << server::kDemoLogin << ", password " << server::kDemoPassword << "\n"
                  << "Press Ctrl+C to stop." << std::endl;

        int received = 0;
        sigwait(&stopSignals, &received);
        std::cout << "Stopping (" << (received == SIGINT ? "SIGINT" : "SIGTERM") << ")..." << std::endl;
        service.stop();
        std::cout << "Stopped." << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "vantro-server: " << e.what() << std::endl;
        return EXIT_FAILURE;
    }
    return EXIT_SUCCESS;
}
