#pragma once

#include <QApplication>

#include <benchmark/benchmark.h>

// The entry point of every benchmark program that needs windows: one application object for the
// whole run, then Google Benchmark with the command line it was given.
inline int RunBenchmarksWithApplication(int argc, char** argv) {
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
