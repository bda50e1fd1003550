#pragma once

// One fake SMSC and one Kannel for the whole test program, started by the first test that asks
// for them (Kannel takes a second or two) and stopped when the program ends.

#include "FakeSmsc.h"
#include "KannelRig.h"

#include <gtest/gtest.h>

namespace smstest {

fakesmsc::FakeSmsc& Smsc();
fakesmsc::KannelRig& Rig();

// For a fixture's SetUp: skips without Debian's kannel, fails when it does not start.
#define SMS_RIG_REQUIRED()                                                                                         \
    do {                                                                                                           \
        if (!fakesmsc::KannelRig::installed()) {                                                                   \
            GTEST_SKIP() << "Debian's kannel is not installed (scripts/deps installs it)";                        \
        }                                                                                                          \
        ASSERT_NO_THROW(smstest::Rig());                                                                           \
    } while (false)

} // namespace smstest
