#pragma once

#include <functional>
#include <memory>

#include "quilo/Client.hpp"

namespace quilo::test {

// A client that lets a test see every request its operations hand to configureRequest.
class ObservedQuilo : public Quilo {
  public:
    using Quilo::Quilo;

    // Called with the request before it is configured.
    std::function<void(const std::shared_ptr<S3Request>&)> beforeConfiguring;

    void configureRequest(const std::shared_ptr<S3Request>& request) override {
        if (beforeConfiguring)
            beforeConfiguring(request);
        Quilo::configureRequest(request);
    }
};

}  // namespace quilo::test
