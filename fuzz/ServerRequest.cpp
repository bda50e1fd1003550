// The service's request handling: the input's first line is the request path, the rest its body.
// Each input gets a fresh in-memory store with the demo user, so that inputs do not depend on
// each other.

#include "Protocol.h"
#include "Store.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t lineEnd = input.find('\n');
    if (lineEnd == std::string_view::npos) {
        return 0;
    }
    const std::string_view path = input.substr(0, lineEnd);
    const std::string_view body = input.substr(lineEnd + 1);

    server::Store store(":memory:");
    std::string consoleLines;
    const server::SendSettings settings{"http://127.0.0.1:8471",
                                        [&](const std::string& line) { consoleLines += line; }};
    if (path == "/vantro_login.aspx") {
        server::AnswerLogin(store, body);
    } else if (path == "/vantro_carriers.aspx") {
        server::AnswerCarriers();
    } else if (path == "/vantro_ab.aspx") {
        server::AnswerAddressBook(store, body);
    } else if (path == "/vantro_ab_update.aspx") {
        server::AnswerAddressBookUpdate(store, body);
    } else if (path == "/vantro_send.aspx") {
        server::AnswerSend(store, body, settings);
    }
    return 0;
}
