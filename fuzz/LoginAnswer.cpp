#include "AnswerFromBytes.h"
#include "service/LoginExchange.h"
#include "service/ServiceErrors.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    answerNextExchangeWith(data, size);
    try {
        LoginExchange("4125551212", "secret");
    } catch (const MissingNodeError&) {
        // The login panel's error path: a message for the user.
    }
    return 0;
}
