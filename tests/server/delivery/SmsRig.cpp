#include "SmsRig.h"

#include <memory>

namespace smstest {

namespace {

struct Shared {
    fakesmsc::FakeSmsc smsc;
    // Enough in flight on the SMPP link for the tests; the benchmark raises it.
    fakesmsc::KannelRig rig{fakesmsc::KannelRigOptions{smsc.port(), 10}};
};

Shared& Instance() {
    static Shared shared; // a start-up failure throws here, and the next call tries again
    return shared;
}

} // namespace

fakesmsc::FakeSmsc& Smsc() { return Instance().smsc; }
fakesmsc::KannelRig& Rig() { return Instance().rig; }

} // namespace smstest
