#include "AnswerFromBytes.h"
#include "service/CarrierListExchange.h"

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    answerNextExchangeWith(data, size);
    std::vector<std::string> carriers;
    LoadCarrierList(carriers); // anything but a transport failure leaves a list, possibly empty
    return 0;
}
