#pragma once

#include <concepts>
#include <memory>
#include <optional>
#include <vector>

#include "quilo/requestlib/base/Export.hpp"
#include "quilo/requestlib/s3/S3Request.hpp"
#include "quilo/requestlib/s3/S3Types.hpp"

namespace quilo {
namespace detail {
struct ServiceKinds;
}

// A request to the service as a whole: the list of the caller's buckets.
class QUILO_EXPORT S3ServiceRequest : public S3Request {
  public:
    // A request with nothing to do: the factory builds the one to send.
    using S3Request::S3Request;

    // Lists the buckets (GET /). Builds an R, so that classes derived from this one get
    // requests of their own type.
    template <class R = S3ServiceRequest>
    requires std::derived_from<R, S3ServiceRequest>
    static std::shared_ptr<R> serviceRequest() {
        auto request = std::make_shared<R>();
        static_cast<S3ServiceRequest&>(*request).setUp();
        return request;
    }

    // The answer, once the request has finished.
    const std::vector<S3Bucket>& buckets() const { return buckets_; }
    const std::optional<S3Owner>& owner() const { return owner_; }

  private:
    friend struct detail::ServiceKinds;
    void setUp();

    std::vector<S3Bucket> buckets_;
    std::optional<S3Owner> owner_;
};

}  // namespace quilo
