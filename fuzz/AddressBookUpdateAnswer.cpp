#include "AnswerFromBytes.h"
#include "service/AddressBookUpdateExchange.h"
#include "service/ServiceErrors.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    answerNextExchangeWith(data, size);
    try {
        AddressBookUpdateExchange("update", "1", "7", "Tom &amp; Jerry", "4125550007", "AT&amp;T");
    } catch (const MissingNodeError&) {
        // The address book window's error path: the system error message.
    }
    return 0;
}
