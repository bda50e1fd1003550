#include "AnswerFromBytes.h"
#include "service/MessageSendExchange.h"
#include "service/ServiceErrors.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    answerNextExchangeWith(data, size);
    try {
        MessageSendExchange("1", 0, "4125551212", "AT&amp;T", "Hi", "Line one\r\nline two");
    } catch (const MissingNodeError&) {
        // The send's error path: the system error message.
    }
    return 0;
}
