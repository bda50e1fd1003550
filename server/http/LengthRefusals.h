#pragma once

// The library refuses a head whose Content-Length it cannot read (a sign, a minus, anything but
// digits, more than 64 bits), but its refusal's status line goes out twice: the step that reads the
// framing headers queues the refusal and builds its head, and the caller then carries the
// connection on as if the head were sound, through to building the answer's head once more
// (libmicrohttpd 0.9.75, MHD_connection_handle_idle, case MHD_CONNECTION_HEADERS_RECEIVED). A
// proxy in front could take the two status lines for two answers.
//
// A new plain connection is looked at before the library reads it (RefuseMalformedLength), but
// the bytes of HTTPS and of later requests on a kept connection are the library's alone. The one
// piece of our code that runs between the library reading such a head and refusing it is its
// error log: it says "Failed to parse `Content-Length' header" (or "Too large value of
// 'Content-Length'") just before, on the thread that serves the connection. So each connection
// is known with the thread that serves it; when the log says so, the connection of that thread
// whose complete head has such a length is answered here, once, and shut, so that the library's
// doubled answer has nowhere to go.

#include <cstdarg>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>

struct MHD_Connection;

namespace server::http {

// True when the library reads `value` as a length: plain digits that fit 64 bits.
bool IsReadableLength(std::string_view value);

class LengthRefusals {
public:
    // `extraHeaders`: header lines, each ended by CR LF, every answer of the service carries
    // (Strict-Transport-Security over HTTPS). `tooLarge`: the text of the 413 for a length of more
    // than 64 bits.
    LengthRefusals(std::string extraHeaders, std::string tooLarge);

    // On the thread that serves the connection, as the library starts and ends it.
    void opened(MHD_Connection* connection, int fd);
    void closed(MHD_Connection* connection);

    // MHD_OPTION_EXTERNAL_LOGGER; `cls` is the LengthRefusals. Every other message is dropped, as
    // the library's log was before.
    static void libraryLog(void* cls, const char* format, va_list arguments);

private:
    struct Entry {
        int fd = -1;
        std::thread::id thread;
        bool refused = false;
    };

    void refuseOnThisThread(bool tooLarge);

    std::string m_extraHeaders;
    std::string m_tooLarge;
    std::mutex m_mutex;
    std::unordered_map<MHD_Connection*, Entry> m_connections;
};

} // namespace server::http
