#pragma once

#include <optional>

#include "quilo/Quilo.hpp"
#include "quilo/requestlib/HTTPRequestQueue.hpp"

namespace quilo::test {

// Puts back, on the way out, what tests of the configuration change for the whole process:
// the shared client's two maps and the shared queue's limit.
class SharedStateGuard {
  public:
    SharedStateGuard()
        : config_(Quilo::sharedInstance()->config()),
          globleConfig_(Quilo::sharedInstance()->globleConfig()),
          limit_(HTTPRequest::sharedQueue().maxConcurrentOperationCount()) {}
    ~SharedStateGuard() {
        Quilo::sharedInstance()->config() = config_;
        Quilo::sharedInstance()->globleConfig() = globleConfig_;
        HTTPRequest::sharedQueue().setMaxConcurrentOperationCount(limit_);
    }
    SharedStateGuard(const SharedStateGuard&) = delete;
    SharedStateGuard& operator=(const SharedStateGuard&) = delete;

  private:
    std::optional<ValueMap> config_;
    std::optional<ValueMap> globleConfig_;
    int limit_;
};

}  // namespace quilo::test
