#include "quilo/requestlib/S3ServiceRequest.hpp"

#include "requestlib/S3Xml.hpp"

namespace quilo {

std::optional<Error> S3ServiceRequest::acceptResponse() {
    auto list = detail::parseBucketList(responseData());
    if (!list.value)
        return Error{ErrorKind::response,
                     "MalformedResponse",
                     "the bucket list could not be read: " + list.problem,
                     responseStatusCode(),
                     {}};
    buckets_ = std::move(list.value->buckets);
    owner_ = std::move(list.value->owner);
    return std::nullopt;
}

}  // namespace quilo
