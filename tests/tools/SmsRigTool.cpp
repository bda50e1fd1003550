// vantro-sms-rig: the SMS gateway of the tests (Debian's Kannel against a fake SMSC, both on free
// ports of 127.0.0.1) for tests written outside C++.
//
//   vantro-sms-rig
//
// Prints "ready SENDSMS_URL CREDENTIALS_FILE" once Kannel is up, then one line "submit NUMBER TEXT"
// for every text that reaches the SMSC (line breaks as "\n"). Reads commands on standard input:
// "receipt" sends a delivery receipt for the latest text and prints "receipt sent". Stops
// everything and exits when standard input ends. Exit status 3 when Kannel is not installed.

#include "FakeSmsc.h"
#include "KannelRig.h"

#include <atomic>
#include <chrono>
#include <exception>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

namespace {

std::mutex outputMutex;

void say(const std::string& line) {
    std::lock_guard lock(outputMutex);
    std::cout << line << std::endl;
}

// The text as one line: the fake SMSC keeps GSM 7-bit as one character a byte, which for letters,
// digits and plain punctuation is ASCII.
std::string OneLine(const std::string& text) {
    std::string line;
    for (const char c : text) {
        line += c == '\n' ? std::string("\\n") : c == '\r' ? std::string("\\r") : std::string(1, c);
    }
    return line;
}

} // namespace

int main() {
    if (!fakesmsc::KannelRig::installed()) {
        std::cerr << "vantro-sms-rig: Debian's kannel is not installed (scripts/deps installs it)\n";
        return 3;
    }
    try {
        fakesmsc::FakeSmsc smsc;
        fakesmsc::KannelRig rig(fakesmsc::KannelRigOptions{smsc.port(), 10});
        say("ready " + rig.sendsmsUrl() + " " + rig.credentialsFile().string());
        std::atomic<bool> done{false};
        std::thread reporter([&] {
            std::size_t seen = 0;
            while (!done) {
                const auto submits = smsc.submits();
                for (; seen < submits.size(); ++seen) {
                    say("submit " + submits[seen].destination + " " + OneLine(submits[seen].userData));
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
        std::string command;
        while (std::getline(std::cin, command)) {
            if (command == "receipt") {
                const auto submits = smsc.submits();
                const bool sent = !submits.empty() && smsc.sendReceipt(submits.back());
                say(sent ? "receipt sent" : "no receipt sent");
            }
        }
        done = true;
        reporter.join();
    } catch (const std::exception& e) {
        std::cerr << "vantro-sms-rig: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
