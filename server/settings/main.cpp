// vantro-server: the service the program talks to, run on one machine or for real users.
//
//   vantro-server [--config FILE] [--host ADDRESS] [--port N] [--db PATH] [--public-url URL] ...
//
// Every option can also stand in a configuration file as "name = value" (the long name without
// its dashes); the command line wins. Serves until SIGINT (Ctrl+C) or SIGTERM, then stops.

#include "server/app/Server.h"
#include "server/settings/CommandLine.h"
#include "server/store/DemoData.h"
#include "server/store/Passwords.h"

#include <csignal>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <pthread.h>

namespace {

// The first line of the code key file; a short secret would let a reader of the store try them all.
std::string ReadCodeKey(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    if (!file || !std::getline(file, line)) {
        throw std::runtime_error("cannot read the code key file " + path);
    }
    if (line.size() < 32) {
        throw std::runtime_error("the code key in " + path + " is shorter than 32 characters");
    }
    return line;
}

// Reads the files the settings name (the gateway table, the relay's credentials) into the
// service's options. False after the reason went to standard error.
bool loadFiles(server::Settings& settings) {
    server::ServerOptions& options = settings.server;
    try {
        if (!settings.gateways.empty()) {
            options.gateways =
                std::make_shared<const server::GatewayTable>(server::GatewayTable::load(settings.gateways));
        }
        if (!settings.codeKeyFile.empty()) {
            options.codeKey = ReadCodeKey(settings.codeKeyFile);
        }
        if (!settings.sms.url.empty()) {
            if (settings.smsCredentials.empty()) {
                throw std::runtime_error("--sms-gateway needs --sms-gateway-credentials FILE, holding username:password");
            }
            server::ReadSmsGatewayCredentials(settings.smsCredentials, settings.sms);
            options.smsGateway = settings.sms;
        } else if (!settings.smtp.url.empty()) {
            if (!settings.smtpCredentials.empty()) {
                server::ReadCredentials(settings.smtpCredentials, settings.smtp);
            }
            options.smtp = settings.smtp;
        }
    } catch (const std::exception& e) {
        std::cerr << "vantro-server: " << e.what() << std::endl;
        return false;
    }
    return true;
}

// Block the stop signals in every thread (the server's threads inherit the mask) and wait for them
// on this one.
sigset_t blockStopSignals() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A client that goes away while its answer is written must not end the service.
    signal(SIGPIPE, SIG_IGN);
    return stopSignals;
}

int serve(const server::ServerOptions& options, const sigset_t& stopSignals) {
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

} // namespace

int main(int argc, char** argv) {
    server::Settings settings;
    if (const auto status = server::readSettings({argv + 1, argv + argc}, settings, std::cout, std::cerr)) {
        return *status;
    }
    server::SetConcurrentHashLimit(settings.concurrentHashes);
    if (!loadFiles(settings)) {
        return 2;
    }
    settings.server.console = [](const std::string& line) { std::cout << line << std::endl; };
    const sigset_t stopSignals = blockStopSignals();
    return serve(settings.server, stopSignals);
}
