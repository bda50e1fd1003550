#pragma once

// What the service's socket-level tests share: a Server on a free port with its console kept, and
// an httplib client.

#include "server/app/Server.h"

#include "SmtpSink.h"
#include "server/exchanges/Exchanges.h"
#include "server/store/DemoData.h"
#include "server/web/Pages.h"
#include "support/ClientRequests.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>

namespace server_test {

using namespace server;
using lstest::Answer;

inline constexpr const char* kXmlType = "text/xml; charset=utf-8";

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ServerOptions options;
        options.port = 0;
        options.databasePath = ":memory:";
        options.console = [this](const std::string& line) {
            std::lock_guard lock(mutex);
            console.push_back(line);
        };
        configure(options);
        service = std::make_unique<Server>(options);
        service->start();
        client = std::make_unique<httplib::Client>("127.0.0.1", service->port());
    }

    virtual void configure(ServerOptions&) {}

    // The console lines that carry a code; the caller holds `mutex`.
    std::vector<std::string> CodeLines() const {
        std::vector<std::string> lines;
        for (const std::string& line : console) {
            if (line.find("Verification code") != std::string::npos) {
                lines.push_back(line);
            }
        }
        return lines;
    }

    // As the client posts: Content-Type text/xml, the document as the body.
    httplib::Result post(const char* path, const std::string& body) { return client->Post(path, body, "text/xml"); }

    std::mutex mutex;
    std::vector<std::string> console;
    std::unique_ptr<Server> service;
    std::unique_ptr<httplib::Client> client;
};

} // namespace server_test
