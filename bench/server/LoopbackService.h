#pragma once

// What the service's load and flood programs share: a free port on 127.0.0.1 for the service they
// start, the text between two marks of an answer, and the body of a send to a number of no friend.

#include <cstdint>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {

inline int FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

inline std::string Between(const std::string& text, const std::string& open, const std::string& close) {
    const std::size_t start = text.find(open);
    if (start == std::string::npos) {
        return {};
    }
    const std::size_t stop = text.find(close, start + open.size());
    return stop == std::string::npos ? std::string() : text.substr(start + open.size(), stop - start - open.size());
}

// A send by the session `token` to 7245550199 (Sprint), as the program writes it.
inline std::string SendRequest(const std::string& token, const std::string& subject, const std::string& body) {
    return "<QVRMessage>    <Reguser>" + token +
           "</Reguser>    <Friend>0</Friend>    <To>7245550199</To>    <Carrier>Sprint</Carrier>"
           "    <Subject>" +
           subject + "</Subject>    <Body>" + body + "</Body></QVRMessage>";
}

} // namespace bench
