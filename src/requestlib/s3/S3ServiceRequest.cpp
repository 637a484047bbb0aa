#include "quilo/requestlib/s3/S3ServiceRequest.hpp"

#include "requestlib/base/Errors.hpp"
#include "requestlib/s3/S3Kind.hpp"
#include "requestlib/s3/S3Xml.hpp"

namespace quilo {
namespace detail {

struct ServiceKinds {
    static std::optional<Error> readBuckets(S3Request& request, std::string_view) {
        auto& service = static_cast<S3ServiceRequest&>(request);
        auto list = parseBucketList(request.responseData());
        if (!list.value)
            return malformedError("the bucket list", list.problem, request.responseStatusCode());
        service.buckets_ = std::move(list.value->buckets);
        service.owner_ = std::move(list.value->owner);
        return std::nullopt;
    }
    static constexpr S3Kind listBuckets{.read = &readBuckets};
};

}  // namespace detail

void S3ServiceRequest::setUp() {
    setKind(detail::ServiceKinds::listBuckets);
}

}  // namespace quilo
