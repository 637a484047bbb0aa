#pragma once

#include <curl/curl.h>

#include <memory>

#include "requestlib/http/Attempt.hpp"

namespace quilo::detail {

// An easy handle and the header list it points to, released together.
class CurlHandle {
  public:
    CurlHandle() : easy_(curl_easy_init()) {}
    ~CurlHandle();
    CurlHandle(const CurlHandle&) = delete;
    CurlHandle& operator=(const CurlHandle&) = delete;

    CURL* get() const { return easy_; }
    explicit operator bool() const { return easy_ != nullptr; }
    const char* errorText() const { return error_; }

    // The options every attempt shares: URL, protocols, TLS, time-out and the speed floor.
    void configure(const Attempt& attempt);
    // The method, and how the body goes out.
    void setMethod(const Attempt& attempt);
    // The header lines, as headerLines() assembles them.
    void setHeaders(const Attempt& attempt);

  private:
    CURL* easy_;
    curl_slist* headers_ = nullptr;
    std::shared_ptr<curl_slist> connectTo_;
    char error_[CURL_ERROR_SIZE] = {};
};

// The request's header lines: the attempt's own, Expect only where a body follows a PUT, and
// none of curl's inventions.
curl_slist* headerLines(const Attempt& attempt);

}  // namespace quilo::detail
