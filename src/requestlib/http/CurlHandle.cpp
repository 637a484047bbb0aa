#include "requestlib/http/CurlHandle.hpp"

#include <algorithm>
#include <cmath>

#include "requestlib/base/Text.hpp"
#include "requestlib/http/ConnectTo.hpp"

namespace quilo::detail {
namespace {

// Fewer callbacks and system calls per byte moved than curl's defaults.
constexpr long kBufferBytes = 256 * 1024;
// A server slower than this over the whole time-out window is as good as silent.
constexpr long kSpeedFloorBytesPerSecond = 1024;

}  // namespace

CurlHandle::~CurlHandle() {
    if (easy_)
        curl_easy_cleanup(easy_);
    curl_slist_free_all(headers_);
}

void CurlHandle::configure(const Attempt& attempt) {
    curl_easy_setopt(easy_, CURLOPT_URL, attempt.url.c_str());
    curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, error_);
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy_, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    // Keys such as "a/../b" must reach the server exactly as written.
    curl_easy_setopt(easy_, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYHOST, 2L);
    if (attempt.caFile)
        curl_easy_setopt(easy_, CURLOPT_CAINFO, attempt.caFile->c_str());
    const double seconds = attempt.idleTimeoutSeconds;
    curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(std::max(1.0, seconds * 1000.0)));
    curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_LIMIT, kSpeedFloorBytesPerSecond);
    curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_TIME, std::max(1L, std::lround(std::ceil(seconds))));
    curl_easy_setopt(easy_, CURLOPT_BUFFERSIZE, kBufferBytes);
    if (attempt.body.size() > 0)
        curl_easy_setopt(easy_, CURLOPT_UPLOAD_BUFFERSIZE, kBufferBytes);
    curl_easy_setopt(easy_, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy_, CURLOPT_FRESH_CONNECT, attempt.repeatable ? 0L : 1L);
    connectTo_ = connectTo();
    curl_easy_setopt(easy_, CURLOPT_CONNECT_TO, connectTo_.get());
}

void CurlHandle::setMethod(const Attempt& attempt) {
    if (attempt.method == "HEAD") {
        curl_easy_setopt(easy_, CURLOPT_NOBODY, 1L);
    } else if (!attempt.body.present()) {
        curl_easy_setopt(easy_, CURLOPT_HTTPGET, 1L);
        if (attempt.method != "GET")
            curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, attempt.method.c_str());
    } else {
        // Every body, even an empty one, streams through the read callback, so that curl never
        // adds a form content type of its own.
        curl_easy_setopt(easy_, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(easy_, CURLOPT_INFILESIZE_LARGE,
                         static_cast<curl_off_t>(attempt.body.size()));
        if (attempt.method != "PUT")
            curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, attempt.method.c_str());
    }
}

void CurlHandle::setHeaders(const Attempt& attempt) {
    curl_slist_free_all(headers_);
    headers_ = headerLines(attempt);
    curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers_);
}

curl_slist* headerLines(const Attempt& attempt) {
    curl_slist* lines = nullptr;
    for (const auto& [name, value] : attempt.headers) {
        if (equalsIgnoringCase(name, "Expect"))
            continue;
        // "Name;" is curl's way to send a header with an empty value.
        const std::string line = value.empty() ? name + ";" : name + ": " + value;
        lines = curl_slist_append(lines, line.c_str());
    }
    const bool waits = attempt.expectContinue && attempt.method == "PUT" && attempt.body.size() > 0;
    // An empty Expect and Accept keep curl from inventing its own.
    lines = curl_slist_append(lines, waits ? "Expect: 100-continue" : "Expect:");
    return curl_slist_append(lines, "Accept:");
}

}  // namespace quilo::detail
