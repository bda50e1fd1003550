// vantro-send-check: logs in and sends one message to a typed number exactly as the program does
// (its own login and send exchanges), for tests written outside C++.
//
//   vantro-send-check BASE_URL LOGIN PASSWORD NUMBER CARRIER BODY
//
// Prints the service's answer, then the thank-you panel's advertisement as "ad_text: ...",
// "ad_link: ..." and "ad_url: ...". Exit status 0 when the message was sent, 1 otherwise.

#include "app/Global.h"
#include "service/LoginExchange.h"
#include "service/MessageSendExchange.h"

#include <exception>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
    if (argc != 7) {
        std::cerr << "Usage: vantro-send-check BASE_URL LOGIN PASSWORD NUMBER CARRIER BODY\n";
        return 2;
    }
    global::ServiceUrl = argv[1];
    try {
        const LoginResult login = LoginExchange(argv[2], argv[3]);
        if (login.outcome != LoginOutcome::Accepted) {
            std::cout << "login refused: " << login.message << "\n";
            return 1;
        }
        // The send flow hands the carrier over with each "&" already written as "&amp;".
        std::string carrier;
        for (const char c : std::string(argv[5])) {
            carrier += c == '&' ? std::string("&amp;") : std::string(1, c);
        }
        const SendOutcome sent = MessageSendExchange(global::CurrentUserId, 0, argv[4], carrier, "", argv[6]);
        std::cout << "send: " << sent.sendText << "\n";
        if (!sent.sent) {
            return 1;
        }
        std::cout << "ad_text: " << sent.adText << "\nad_link: " << sent.adLink << "\nad_url: " << sent.adUrl << "\n";
    } catch (const std::exception& e) {
        std::cout << "failed: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
