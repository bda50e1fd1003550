#pragma once

#include <array>
#include <string>

#include <curl/curl.h>

// Owns one libcurl easy handle together with its header list and error buffer. Move-only: the
// handle is released exactly once, when the exchange that made it ends.
class CurlEasy {
public:
    CurlEasy();
    ~CurlEasy();
    CurlEasy(CurlEasy&& other) noexcept;
    CurlEasy& operator=(CurlEasy&& other) noexcept;
    CurlEasy(const CurlEasy&) = delete;
    CurlEasy& operator=(const CurlEasy&) = delete;

    CURL* get() const noexcept { return m_handle; }

    // Sets an option; a refusal by libcurl is a TransportError.
    template <typename T> void setOption(CURLoption option, T value) {
        check(curl_easy_setopt(m_handle, option, value));
    }

    // Appends a request header line ("Name: value"), kept in the order of the calls.
    void appendHeader(const std::string& line);

    // Runs the transfer; a failure is a TransportError with libcurl's most specific message.
    void perform();

    long responseCode() const;

    // Throws TransportError for anything but CURLE_OK.
    void check(CURLcode code) const;

private:
    void release() noexcept;

    CURL* m_handle = nullptr;
    curl_slist* m_headers = nullptr;
    std::array<char, CURL_ERROR_SIZE> m_errorBuffer{};
};
