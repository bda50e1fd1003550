#include "service/HttpPost.h"

#include "service/CurlEasy.h"
#include "service/ServiceErrors.h"

#include <algorithm>
#include <chrono>
#include <memory>

namespace {

using Clock = std::chrono::steady_clock;

std::string secondsText(long seconds) { return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds"); }

struct AnswerSink {
    std::string body;
    std::size_t limit = 0;
    bool overflowed = false;
};

// Watches for an answer that stops arriving: no byte either way for `limit` once the connection
// is made. Until then the connect time-out is in charge.
struct StallWatch {
    CURL* handle = nullptr;
    std::chrono::seconds limit{0};
    Clock::time_point lastProgress = Clock::now();
    curl_off_t lastTotal = 0;
    bool stalled = false;
};

bool isConnected(CURL* handle) {
    curl_off_t connectTime = 0;
    return curl_easy_getinfo(handle, CURLINFO_CONNECT_TIME_T, &connectTime) == CURLE_OK && connectTime > 0;
}

int watchForStall(void* userData, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
    auto* watch = static_cast<StallWatch*>(userData);
    const auto now = Clock::now();
    if (!isConnected(watch->handle) || downloaded + uploaded != watch->lastTotal) {
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

// What one request brought back: its status, its body and where a redirect points.
struct Hop {
    long status = 0;
    std::string body;
    std::string location; // absolute; empty when the answer is no redirect
};

// One request without following redirects. `body` null: a GET without body and without our
// headers; otherwise a POST of it with exactly Content-Length, then Content-Type: text/xml.
Hop requestOnce(const std::string& url, const std::string* body, Clock::time_point deadline) {
    const TransportLimits& limits = transportLimits();
    const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (remaining.count() <= 0) {
        throw TransportError(CURLE_OPERATION_TIMEDOUT,
                             "The service did not answer within " + secondsText(limits.overallSeconds) + ".");
    }
    CurlEasy curl;
    AnswerSink sink;
    sink.limit = limits.maxAnswerBytes;

    curl.setOption(CURLOPT_URL, url.c_str());
    curl.setOption(CURLOPT_NOSIGNAL, 1L);
    curl.setOption(CURLOPT_PROTOCOLS_STR, "http,https");
    curl.setOption(CURLOPT_FOLLOWLOCATION, 0L); // HttpPost decides which redirect to follow
    if (body != nullptr) {
        curl.setOption(CURLOPT_POST, 1L);
        curl.setOption(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
        curl.setOption(CURLOPT_POSTFIELDS, body->c_str());
        // Our two headers, in this order; "Expect:" with no value keeps libcurl from adding its own.
        curl.appendHeader("Content-Length: " + std::to_string(body->size()));
        curl.appendHeader("Content-Type: text/xml");
        curl.appendHeader("Expect:");
    } else {
        curl.setOption(CURLOPT_HTTPGET, 1L);
    }
    curl.setOption(CURLOPT_CONNECTTIMEOUT, limits.connectTimeoutSeconds);
    curl.setOption(CURLOPT_TIMEOUT_MS, static_cast<long>(remaining.count()));
    StallWatch stallWatch;
    stallWatch.handle = curl.get();
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
            throw TransportError(CURLE_OPERATION_TIMEDOUT,
                                 "The service stopped answering for " + secondsText(limits.stallSeconds) + ".");
        }
        if (error.code() == CURLE_OPERATION_TIMEDOUT) {
            if (!isConnected(curl.get())) {
                throw TransportError(CURLE_OPERATION_TIMEDOUT, "The service could not be reached within " +
                                                                   secondsText(limits.connectTimeoutSeconds) + ".");
            }
            throw TransportError(CURLE_OPERATION_TIMEDOUT,
                                 "The service did not answer within " + secondsText(limits.overallSeconds) + ".");
        }
        throw;
    }
    Hop hop{curl.responseCode(), std::move(sink.body), {}};
    char* location = nullptr;
    if (curl_easy_getinfo(curl.get(), CURLINFO_REDIRECT_URL, &location) == CURLE_OK && location != nullptr) {
        hop.location = location;
    }
    return hop;
}

struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

struct UrlParts {
    std::string scheme;
    std::string host;
};

UrlParts partsOf(const std::string& url) {
    const std::unique_ptr<CURLU, UrlDeleter> handle(curl_url());
    UrlParts parts;
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
        return parts;
    }
    for (auto [part, text] : {std::pair{CURLUPART_SCHEME, &parts.scheme}, std::pair{CURLUPART_HOST, &parts.host}}) {
        char* value = nullptr;
        if (curl_url_get(handle.get(), part, &value, 0) == CURLUE_OK) {
            *text = value;
            curl_free(value);
        }
    }
    auto lower = [](std::string& text) {
        std::transform(text.begin(), text.end(), text.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    };
    lower(parts.scheme);
    lower(parts.host);
    return parts;
}

// The password and the messages travel only to the host they were meant for, and never fall from
// https back to plain http.
void checkRedirectTarget(const std::string& from, const std::string& to) {
    const UrlParts source = partsOf(from);
    const UrlParts target = partsOf(to);
    const bool knownScheme = target.scheme == "http" || target.scheme == "https";
    if (!knownScheme || target.host.empty() || target.host != source.host) {
        throw TransportError(CURLE_UNSUPPORTED_PROTOCOL,
                             "The service redirected the request to another address: " + to);
    }
    if (source.scheme == "https" && target.scheme == "http") {
        throw TransportError(CURLE_UNSUPPORTED_PROTOCOL,
                             "The service redirected the request from https to plain http: " + to);
    }
}

bool isFollowedRedirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

} // namespace

TransportLimits& transportLimits() {
    static TransportLimits limits;
    return limits;
}

HttpAnswer HttpPost(const std::string& url, const std::optional<std::string>& body) {
    const TransportLimits& limits = transportLimits();
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(limits.overallSeconds);
    const std::string payload = body ? *body : std::string();
    std::string current = url;
    bool post = true;
    for (long redirects = 0;; ++redirects) {
        Hop hop = requestOnce(current, post ? &payload : nullptr, deadline);
        if (!isFollowedRedirect(hop.status) || hop.location.empty()) {
            return HttpAnswer{hop.status, std::move(hop.body)};
        }
        if (redirects >= limits.maxRedirects) {
            throw TransportError(CURLE_TOO_MANY_REDIRECTS, "The service redirected the request more than " +
                                                               std::to_string(limits.maxRedirects) + " times.");
        }
        checkRedirectTarget(current, hop.location);
        // 303 asks for the result to be fetched, not for the message to be sent again.
        if (hop.status == 303) {
            post = false;
        }
        current = hop.location;
    }
}
