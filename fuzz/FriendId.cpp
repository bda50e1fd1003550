#include "service/AddressBookRetrieval.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        ParseFriendId(std::string(reinterpret_cast<const char*>(data), size));
    } catch (const FriendIdError&) {
        // Not a number, or out of range: the address book load's error path.
    }
    return 0;
}
