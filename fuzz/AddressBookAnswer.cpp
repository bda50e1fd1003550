#include "AnswerFromBytes.h"
#include "service/AddressBookRetrieval.h"
#include "service/ServiceErrors.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    answerNextExchangeWith(data, size);
    std::vector<ab_friend> friends;
    try {
        RetrieveAddressBook("1", friends);
    } catch (const MissingNodeError&) {
        // The caller's error path: a message for the user.
    } catch (const FriendIdError&) {
    }
    return 0;
}
