#include "service/HttpPost.h"

#include "app/Global.h"
#include "service/CurlEasy.h"
#include "service/ServiceErrors.h"

#include <chrono>

namespace {

struct AnswerSink {
    std::string body;
    std::size_t limit = 0;
    bool overflowed = false;
};

// Watches for an answer that stops arriving: no byte either way for `stallSeconds`.
struct StallWatch {
    std::chrono::seconds limit{0};
    std::chrono::steady_clock::time_point lastProgress = std::chrono::steady_clock::now();
    curl_off_t lastTotal = 0;
    bool stalled = false;
};

int watchForStall(void* userData, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
    auto* watch = static_cast<StallWatch*>(userData);
    const auto now = std::chrono::steady_clock::now();
    if (downloaded + uploaded != watch->lastTotal) {
        watch->lastTotal = downloaded + uploaded;
        watch->lastProgress = now;
        return 0;
    }
    if (now - watch->lastProgress >= watch->limit) {
        watch->stalled = true;
        return 1; // aborts the transfer
    }
    return 0;
}

size_t appendToAnswer(char* data, size_t size, size_t count, void* userData) {
    auto* sink = static_cast<AnswerSink*>(userData);
    const size_t length = size * count;
    if (sink->body.size() + length > sink->limit) {
        sink->overflowed = true;
        return 0; // makes libcurl stop with CURLE_WRITE_ERROR
    }
    sink->body.append(data, length);
    return length;
}

} // namespace

TransportLimits& transportLimits() {
    static TransportLimits limits;
    return limits;
}

HttpAnswer HttpPost(const std::string& url, const std::optional<std::string>& body) {
    const TransportLimits& limits = transportLimits();
    CurlEasy curl;
    AnswerSink sink;
    sink.limit = limits.maxAnswerBytes;

    curl.setOption(CURLOPT_URL, url.c_str());
    curl.setOption(CURLOPT_NOSIGNAL, 1L);
    curl.setOption(CURLOPT_PROTOCOLS_STR, "http,https");
    // Once on HTTPS, a redirection may not fall back to plain HTTP.
    const bool secure = url.starts_with("https://");
    curl.setOption(CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
    // libcurl verifies the certificate and the host name by default. With a CA of our own, only
    // that CA is trusted: neither the system's bundle nor its folder of CAs.
    const std::string& caPem = global::ServiceCaPem;
    curl_blob caBlob{const_cast<char*>(caPem.data()), caPem.size(), CURL_BLOB_COPY};
    if (!caPem.empty()) {
        curl.setOption(CURLOPT_CAINFO_BLOB, &caBlob);
        curl.setOption(CURLOPT_CAPATH, static_cast<const char*>(nullptr));
    }
    curl.setOption(CURLOPT_POST, 1L);
    const std::string& payload = body ? *body : std::string();
    curl.setOption(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(payload.size()));
    curl.setOption(CURLOPT_POSTFIELDS, payload.c_str());

    // Our two headers, in this order; "Expect:" with no value keeps libcurl from adding its own.
    curl.appendHeader("Content-Length: " + std::to_string(payload.size()));
    curl.appendHeader("Content-Type: text/xml");
    curl.appendHeader("Expect:");

    // A redirected request is sent again as it was, so that our Content-Length stays true.
    curl.setOption(CURLOPT_FOLLOWLOCATION, 1L);
    curl.setOption(CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_ALL));
    curl.setOption(CURLOPT_MAXREDIRS, limits.maxRedirects);
    curl.setOption(CURLOPT_CONNECTTIMEOUT, limits.connectTimeoutSeconds);
    StallWatch stallWatch;
    stallWatch.limit = std::chrono::seconds(limits.stallSeconds);
    curl.setOption(CURLOPT_NOPROGRESS, 0L);
    curl.setOption(CURLOPT_XFERINFOFUNCTION, &watchForStall);
    curl.setOption(CURLOPT_XFERINFODATA, static_cast<void*>(&stallWatch));
    curl.setOption(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxAnswerBytes));
    // The user is identified inside the documents only: no netrc, no cookies, no HTTP credentials.
    curl.setOption(CURLOPT_NETRC, static_cast<long>(CURL_NETRC_IGNORED));

    curl.setOption(CURLOPT_WRITEFUNCTION, &appendToAnswer);
    curl.setOption(CURLOPT_WRITEDATA, static_cast<void*>(&sink));

    try {
        curl.perform();
    } catch (const TransportError& error) {
        if (sink.overflowed || error.code() == CURLE_FILESIZE_EXCEEDED) {
            throw TransportError(CURLE_FILESIZE_EXCEEDED, "The service's answer is longer than " +
                                                              std::to_string(limits.maxAnswerBytes) + " bytes.");
        }
        if (stallWatch.stalled) {
            throw TransportError(CURLE_OPERATION_TIMEDOUT, "The service stopped answering for " +
                                                               std::to_string(limits.stallSeconds) + " seconds.");
        }
        throw;
    }
    return HttpAnswer{curl.responseCode(), std::move(sink.body)};
}
