#pragma once

#include "server/Server.h"

// The service on a free loopback port with an in-memory store, started on first use and kept for
// the whole run, so that no benchmark round pays for its start.
inline server::Server& BenchService() {
    static server::Server* const running = [] {
        auto* started = new server::Server({.port = 0, .databasePath = ":memory:", .console = {}});
        started->start();
        return started;
    }();
    return *running;
}
