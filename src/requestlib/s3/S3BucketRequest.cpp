#include "quilo/requestlib/s3/S3BucketRequest.hpp"

#include <algorithm>
#include <array>

#include "requestlib/base/Errors.hpp"
#include "requestlib/encoding/Crypto.hpp"
#include "requestlib/s3/S3Kind.hpp"
#include "requestlib/s3/S3Xml.hpp"

namespace quilo {
namespace detail {

struct BucketKinds {
    using Kind = S3BucketRequest::Operation;

    static std::optional<Error> readListing(S3Request& request, std::string_view) {
        auto& bucket = static_cast<S3BucketRequest&>(request);
        auto list = parseObjectList(request.responseData());
        if (!list.value)
            return malformedError("the object list", list.problem, request.responseStatusCode());
        bucket.objects_ = std::move(list.value->objects);
        bucket.commonPrefixes_ = std::move(list.value->commonPrefixes);
        bucket.isTruncated_ = list.value->isTruncated;
        bucket.nextMarker_ = bucket.isTruncated_ ? list.value->nextMarker : std::string();
        if (bucket.isTruncated_ && bucket.nextMarker_.empty()) {
            // Without NextMarker the page ends at its greatest key or common prefix.
            if (!bucket.objects_.empty())
                bucket.nextMarker_ = bucket.objects_.back().key;
            if (!bucket.commonPrefixes_.empty())
                bucket.nextMarker_ = std::max(bucket.nextMarker_, bucket.commonPrefixes_.back());
        }
        return std::nullopt;
    }

    static std::optional<Error> readAcl(S3Request& request, std::string_view) {
        return readPolicy(request, static_cast<S3BucketRequest&>(request).acl_);
    }

    static std::optional<Error> readDeleteResult(S3Request& request, std::string_view) {
        auto result = parseDeleteResult(request.responseData());
        if (!result.value)
            return malformedError("the delete result", result.problem,
                                  request.responseStatusCode());
        static_cast<S3BucketRequest&>(request).deleteFailures_ = std::move(*result.value);
        return std::nullopt;
    }

    static void createIn(const S3Request& request, Attempt& attempt) {
        attempt.body = BodySource::memory(createBucketBody(request.region()));
    }

    // In the order of S3BucketRequest::Operation.
    static constexpr std::array<S3Kind, 7> kinds{{
        {.read = &readListing},                                                  // list
        {.method = "PUT", .prepare = &createIn},                                 // create
        {.method = "DELETE"},                                                    // remove
        {.subresource = "acl", .read = &readAcl},                                // getAcl
        {.method = "PUT", .subresource = "acl"},                                 // setAcl
        {.method = "HEAD", .missing = "NoSuchBucket"},                           // head
        {.method = "POST", .subresource = "delete", .read = &readDeleteResult},  // removeObjects
    }};
};

}  // namespace detail

void S3BucketRequest::setUp(Operation operation, std::string bucket) {
    operation_ = operation;
    if (bucket.empty())
        failBeforeSending(detail::misuse(detail::Code::MissingBucket, "a bucket name is required"));
    setBucket(std::move(bucket));
    setKind(detail::BucketKinds::kinds[static_cast<std::size_t>(operation)]);
    updateListingQuery();
}

bool S3BucketRequest::isDeletableInBatch(std::string_view key) noexcept {
    return !key.empty() && detail::isXmlText(key);
}

void S3BucketRequest::setKeysToDelete(const StringList& keys) {
    using detail::Code;
    if (keys.empty() || keys.size() > maxKeysPerDelete)
        return failBeforeSending(detail::misuse(
            Code::InvalidParameter, "a multi-object delete names 1 to " +
                                        std::to_string(maxKeysPerDelete) + " keys, not " +
                                        std::to_string(keys.size())));
    for (std::size_t i = 0; i < keys.size(); ++i)
        if (!isDeletableInBatch(keys[i]))
            return failBeforeSending(detail::misuse(
                keys[i].empty() ? Code::MissingKey : Code::InvalidParameter,
                "key #" + std::to_string(i + 1) +
                    " is empty or holds what XML cannot carry; delete it on its own"));
    std::string body = detail::deleteObjectsBody(keys);
    // The service requires the digest of this body, and refuses one changed on the way.
    addRequestHeader("Content-MD5", detail::md5Base64(body));
    addRequestHeader("Content-Type", "application/xml");
    setPostBody(std::move(body));
}

void S3BucketRequest::setMaxResultCount(std::int32_t count) {
    if (state() != State::ready)
        return;
    maxResultCount_ = count;
    updateListingQuery();
}

void S3BucketRequest::setPrefix(std::string prefix) {
    if (state() != State::ready)
        return;
    prefix_ = std::move(prefix);
    updateListingQuery();
}

void S3BucketRequest::setDelimiter(std::string delimiter) {
    if (state() != State::ready)
        return;
    delimiter_ = std::move(delimiter);
    updateListingQuery();
}

void S3BucketRequest::setMarker(std::string marker) {
    if (state() != State::ready)
        return;
    marker_ = std::move(marker);
    updateListingQuery();
}

void S3BucketRequest::updateListingQuery() {
    if (operation_ != Operation::list)
        return;
    clearQueryParameters();
    // Empty options mean "none": leaving them out is what every server reads that way.
    if (!delimiter_.empty())
        setQueryParameter("delimiter", delimiter_);
    // Keys holding control characters come back intact only percent-encoded.
    setQueryParameter("encoding-type", "url");
    if (!marker_.empty())
        setQueryParameter("marker", marker_);
    if (maxResultCount_)
        setQueryParameter("max-keys", std::to_string(*maxResultCount_));
    if (!prefix_.empty())
        setQueryParameter("prefix", prefix_);
}

}  // namespace quilo
