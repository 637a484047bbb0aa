#pragma once

#include <functional>
#include <memory>
#include <string>

#include "quilo/requestlib/base/Error.hpp"
#include "quilo/requestlib/base/Export.hpp"
#include "quilo/requestlib/base/Types.hpp"

namespace quilo {

class HTTPRequest;

// Carries admitted requests to their end. The library's own transport speaks HTTP through
// libcurl; another can be installed with HTTPRequestQueue::setTransport (tests do, to watch what
// an application asks of its requests without a server).
class QUILO_EXPORT RequestTransport {
  public:
    virtual ~RequestTransport() = default;

    // Called on the library's thread once the queue has admitted `request` and its started hook
    // has run. The transport must end the request exactly once, through finish() or fail(),
    // on the library's thread.
    virtual void perform(const std::shared_ptr<HTTPRequest>& request) = 0;

  protected:
    // Records the answer and calls the completion hook (the failed hook when `status` is not
    // 2xx or the request rejects the answer). Ignored when the request has already ended.
    static void finish(const std::shared_ptr<HTTPRequest>& request, int status, HeaderMap headers,
                       std::string body);
    static void fail(const std::shared_ptr<HTTPRequest>& request, Error error);
    // Runs `task` on the library's thread.
    static void post(std::function<void()> task);
};

}  // namespace quilo
