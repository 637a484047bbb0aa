#include "quilo/requestlib/S3BucketRequest.hpp"

#include <algorithm>

#include "requestlib/S3Xml.hpp"

namespace quilo {

void S3BucketRequest::setUp(Operation operation, std::string bucket) {
    operation_ = operation;
    if (bucket.empty())
        failBeforeSending(
            Error{ErrorKind::misuse, "MissingBucket", "a bucket name is required", 0, {}});
    setBucket(std::move(bucket));
    switch (operation) {
        case Operation::list:
            updateListingQuery();
            break;
        case Operation::create:
            setVerb("PUT");
            // us-east-1 is the one region that must not be named when creating a bucket.
            if (region() != "us-east-1")
                setPostBody("<CreateBucketConfiguration><LocationConstraint>" + region() +
                            "</LocationConstraint></CreateBucketConfiguration>");
            break;
        case Operation::remove:
            setVerb("DELETE");
            break;
        case Operation::getAcl:
            setVerb("GET", "acl");
            break;
        case Operation::setAcl:
            setVerb("PUT", "acl");
            break;
        case Operation::head:
            setVerb("HEAD");
            break;
    }
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
    if (!marker_.empty())
        setQueryParameter("marker", marker_);
    if (maxResultCount_)
        setQueryParameter("max-keys", std::to_string(*maxResultCount_));
    if (!prefix_.empty())
        setQueryParameter("prefix", prefix_);
}

std::optional<Error> S3BucketRequest::acceptResponse() {
    if (operation_ == Operation::list) {
        auto list = detail::parseObjectList(responseData());
        if (!list.value)
            return Error{ErrorKind::response,
                         "MalformedResponse",
                         "the object list could not be read: " + list.problem,
                         responseStatusCode(),
                         {}};
        objects_ = std::move(list.value->objects);
        commonPrefixes_ = std::move(list.value->commonPrefixes);
        isTruncated_ = list.value->isTruncated;
        nextMarker_.clear();
        if (isTruncated_) {
            nextMarker_ = list.value->nextMarker;
            if (nextMarker_.empty()) {
                // Without NextMarker the page ends at its greatest key or common prefix.
                if (!objects_.empty())
                    nextMarker_ = objects_.back().key;
                if (!commonPrefixes_.empty())
                    nextMarker_ = std::max(nextMarker_, commonPrefixes_.back());
            }
        }
    } else if (operation_ == Operation::getAcl) {
        auto policy = detail::parseAccessControlPolicy(responseData());
        if (!policy.value)
            return Error{ErrorKind::response,
                         "MalformedResponse",
                         "the access-control list could not be read: " + policy.problem,
                         responseStatusCode(),
                         {}};
        acl_ = std::move(policy.value);
    }
    return std::nullopt;
}

Error S3BucketRequest::errorForResponse() const {
    Error error = S3Request::errorForResponse();
    // A HEAD answer has no body to name the error.
    if (operation_ == Operation::head && responseStatusCode() == 404 && responseData().empty())
        error.code = "NoSuchBucket";
    return error;
}

}  // namespace quilo
