#include "service/CurlEasy.h"

#include "service/ServiceErrors.h"

#include <utility>

CurlEasy::CurlEasy() : m_handle(curl_easy_init()) {
    if (m_handle == nullptr) {
        throw TransportError(CURLE_FAILED_INIT, "The HTTP request could not be created.");
    }
    check(curl_easy_setopt(m_handle, CURLOPT_ERRORBUFFER, m_errorBuffer.data()));
}

CurlEasy::~CurlEasy() { release(); }

CurlEasy::CurlEasy(CurlEasy&& other) noexcept
    : m_handle(std::exchange(other.m_handle, nullptr)), m_headers(std::exchange(other.m_headers, nullptr)),
      m_errorBuffer(other.m_errorBuffer) {
    if (m_handle != nullptr) {
        curl_easy_setopt(m_handle, CURLOPT_ERRORBUFFER, m_errorBuffer.data());
    }
}

CurlEasy& CurlEasy::operator=(CurlEasy&& other) noexcept {
    if (this != &other) {
        release();
        m_handle = std::exchange(other.m_handle, nullptr);
        m_headers = std::exchange(other.m_headers, nullptr);
        m_errorBuffer = other.m_errorBuffer;
        if (m_handle != nullptr) {
            curl_easy_setopt(m_handle, CURLOPT_ERRORBUFFER, m_errorBuffer.data());
        }
    }
    return *this;
}

void CurlEasy::release() noexcept {
    if (m_handle != nullptr) {
        curl_easy_cleanup(m_handle);
        m_handle = nullptr;
    }
    if (m_headers != nullptr) {
        curl_slist_free_all(m_headers);
        m_headers = nullptr;
    }
}

void CurlEasy::appendHeader(const std::string& line) {
    curl_slist* grown = curl_slist_append(m_headers, line.c_str());
    if (grown == nullptr) {
        throw TransportError(CURLE_OUT_OF_MEMORY, "The HTTP request header could not be set.");
    }
    m_headers = grown;
    check(curl_easy_setopt(m_handle, CURLOPT_HTTPHEADER, m_headers));
}

void CurlEasy::perform() {
    m_errorBuffer[0] = '\0';
    check(curl_easy_perform(m_handle));
}

long CurlEasy::responseCode() const {
    long status = 0;
    check(curl_easy_getinfo(m_handle, CURLINFO_RESPONSE_CODE, &status));
    return status;
}

void CurlEasy::check(CURLcode code) const {
    if (code == CURLE_OK) {
        return;
    }
    // The error buffer names the host, port or limit involved; the generic text is the fallback.
    std::string message = m_errorBuffer[0] != '\0' ? std::string(m_errorBuffer.data()) : curl_easy_strerror(code);
    throw TransportError(static_cast<int>(code), message);
}
