#pragma once

#include "server/app/Server.h"

#include <benchmark/benchmark.h>

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

// The entry point of a benchmark program that uses the service: Google Benchmark with the command
// line it was given, then the service stopped before the program ends.
inline int RunBenchmarksThenStopService(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    BenchService().stop();
    return 0;
}
