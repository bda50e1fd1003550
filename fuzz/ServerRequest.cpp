// The service's request handling: the input's first line is the request path, the rest its body.
// One store with the demo user serves every input, and the demo user logs in once: "@TOKEN@" in a
// body stands for that session's token, so that inputs reach past the session check. State that an
// input leaves (friends added, messages queued) is what a long-running service accumulates too.

#include "server/store/DemoData.h"
#include "server/exchanges/Exchanges.h"
#include "server/store/Store.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view kTokenMark = "@TOKEN@";

struct Service {
    server::Store store{":memory:"};
    // No pauses for failed logins: the fuzzer guesses wrong passwords by the thousand.
    server::Exchanges exchanges{
        store, {.publicUrl = "http://127.0.0.1:8471", .console = {}, .throttle = {.failuresBeforePause = 1 << 30}}};
    std::string token;

    Service() {
        const std::string answer =
            exchanges.login(std::string("<QVRLogin><Login>") + std::string(server::kDemoLogin) + "</Login><Password>" +
                                std::string(server::kDemoPassword) + "</Password></QVRLogin>",
                            "127.0.0.1");
        const std::size_t begin = answer.find("<string>");
        const std::size_t end = answer.find("</string>");
        if (begin != std::string::npos && end != std::string::npos) {
            token = answer.substr(begin + 8, end - begin - 8);
        }
        // Without a session every input would stop at the session check; the replay test fails here.
        if (token.size() < 32) {
            std::abort();
        }
    }
};

std::string WithToken(std::string_view body, const std::string& token) {
    std::string text(body);
    for (std::size_t at = text.find(kTokenMark); at != std::string::npos;
         at = text.find(kTokenMark, at + token.size())) {
        text.replace(at, kTokenMark.size(), token);
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Service service;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t lineEnd = input.find('\n');
    if (lineEnd == std::string_view::npos) {
        return 0;
    }
    const std::string_view path = input.substr(0, lineEnd);
    const std::string body = WithToken(input.substr(lineEnd + 1), service.token);

    if (path == "/vantro_login.aspx") {
        service.exchanges.login(body, "127.0.0.1");
    } else if (path == "/vantro_carriers.aspx") {
        service.exchanges.carriers();
    } else if (path == "/vantro_ab.aspx") {
        service.exchanges.addressBook(body);
    } else if (path == "/vantro_ab_update.aspx") {
        service.exchanges.update(body);
    } else if (path == "/vantro_send.aspx") {
        service.exchanges.send(body);
    }
    return 0;
}
