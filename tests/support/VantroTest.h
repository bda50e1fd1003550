#pragma once

#include "tests/support/LoopbackServer.h"
#include "tests/support/PlatformRecorder.h"

#include <QString>

#include <string>

#include <gtest/gtest.h>

// Base of every test: a fresh loopback service that the exchanges talk to, a platform recorder,
// empty shared state, no windows left over from the test before.
class VantroTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    LoopbackServer server;
    PlatformRecorder recorder;
};

// Closes and deletes every top-level window.
void closeAllWindows();

QString qs(const char* utf8);
