#include "quilo/requestlib/s3/S3BucketRequest.hpp"

#include <algorithm>
#include <array>

#include "requestlib/base/Errors.hpp"
#include "requestlib/encoding/Crypto.hpp"
#include "requestlib/s3/S3Headers.hpp"
#include "requestlib/s3/S3Kind.hpp"
#include "requestlib/s3/S3Xml.hpp"
#include "requestlib/s3/XmlNodes.hpp"

namespace quilo {
namespace detail {

struct BucketKinds {
    using Kind = S3BucketRequest::Operation;

    static S3BucketRequest& bucket(S3Request& request) {
        return static_cast<S3BucketRequest&>(request);
    }

    static std::optional<Error> readListing(S3Request& request, std::string_view) {
        auto& bucket = BucketKinds::bucket(request);
        auto list = parseObjectList(request.responseData());
        if (!list.value)
            return malformedError("the object list", list.problem, request.responseStatusCode());
        bucket.objects_ = std::move(list.value->objects);
        bucket.commonPrefixes_ = std::move(list.value->commonPrefixes);
        bucket.isTruncated_ = list.value->isTruncated;
        bucket.nextContinuationToken_ = list.value->nextContinuationToken;
        bucket.nextMarker_ = bucket.isTruncated_ ? list.value->nextMarker : std::string();
        if (bucket.isTruncated_ && bucket.nextMarker_.empty()) {
            // Without NextMarker the page ends at its greatest key or common prefix.
            if (!bucket.objects_.empty())
                bucket.nextMarker_ = bucket.objects_.back().key;
            if (!bucket.commonPrefixes_.empty())
                bucket.nextMarker_ = std::max(bucket.nextMarker_, bucket.commonPrefixes_.back());
        }
        return judgeProgress(request, "the object list", firstName(bucket.objects_, bucket));
    }

    static std::optional<Error> readVersions(S3Request& request, std::string_view) {
        auto& bucket = BucketKinds::bucket(request);
        VersionList list;
        auto error = readInto(parseVersionList(request.responseData()), list, "the version list",
                              request.responseStatusCode());
        bucket.versions_ = std::move(list.versions);
        bucket.commonPrefixes_ = std::move(list.commonPrefixes);
        bucket.isTruncated_ = list.isTruncated;
        bucket.nextMarker_ = std::move(list.nextKeyMarker);
        bucket.nextVersionIdMarker_ = std::move(list.nextVersionIdMarker);
        if (error)
            return error;
        return judgeProgress(request, "the version list", firstName(bucket.versions_, bucket));
    }

    static std::optional<Error> readUploads(S3Request& request, std::string_view) {
        auto& bucket = BucketKinds::bucket(request);
        UploadList list;
        auto error = readInto(parseUploadList(request.responseData()), list, "the upload list",
                              request.responseStatusCode());
        bucket.uploads_ = std::move(list.uploads);
        bucket.commonPrefixes_ = std::move(list.commonPrefixes);
        bucket.isTruncated_ = list.isTruncated;
        bucket.nextMarker_ = std::move(list.nextKeyMarker);
        bucket.nextUploadIdMarker_ = std::move(list.nextUploadIdMarker);
        if (error)
            return error;
        return judgeProgress(request, "the upload list", firstName(bucket.uploads_, bucket));
    }

    // The least name on a page: its first entry's key or its first common prefix, each list
    // coming in ascending order.
    template <class Entries>
    static std::optional<std::string> firstName(const Entries& entries,
                                                const S3BucketRequest& bucket) {
        const auto& prefixes = bucket.commonPrefixes_;
        if (!entries.empty() && (prefixes.empty() || entries.front().key < prefixes.front()))
            return entries.front().key;
        return prefixes.empty() ? std::nullopt : std::optional(prefixes.front());
    }

    // A page must go on past where it was asked from, or a server handing back the same
    // marker, or tokens in a circle, would have its listing walked for ever. Comparing each
    // page with its own starting point keeps that check to one name, however long the walk.
    static std::optional<Error> judgeProgress(S3Request& request, std::string_view what,
                                              const std::optional<std::string>& first) {
        if (auto problem = progressProblem(bucket(request), first))
            return malformedError(what, *problem, request.responseStatusCode());
        return std::nullopt;
    }

    static std::optional<std::string> progressProblem(const S3BucketRequest& bucket,
                                                      const std::optional<std::string>& first) {
        const auto operation = bucket.operation_;
        const bool v2 = operation == Kind::listV2;
        const std::string& from =
            v2 && !bucket.continuationToken_.empty() ? bucket.listedUpTo_ : bucket.marker_;
        // Version and upload pages may go on within their marker's key.
        const bool keyed = operation == Kind::listVersions || operation == Kind::listUploads;
        if (first && !from.empty() && (*first < from || (*first == from && !keyed)))
            return "the page goes back to " + xml::quoted(*first) + " from " + xml::quoted(from);
        if (!bucket.isTruncated_)
            return std::nullopt;
        if (v2 && bucket.nextContinuationToken_.empty())
            return "it is truncated but gives no continuation token";
        // A token says nothing of order: names on the page show it moved on. Servers that skip
        // hidden entries (delete markers, a scan cap) may send an empty page with a new token.
        if (v2 && !first && bucket.nextContinuationToken_ == bucket.continuationToken_)
            return "it is empty and gives back the token it was asked with";
        if (v2)
            return std::nullopt;
        const bool versions = operation == Kind::listVersions;
        const auto& id = versions ? bucket.versionIdMarker_ : bucket.uploadIdMarker_;
        const auto& nextId = versions ? bucket.nextVersionIdMarker_ : bucket.nextUploadIdMarker_;
        const bool withinKey = keyed && bucket.nextMarker_ == from && nextId != id;
        if (bucket.nextMarker_ > from || (withinKey && !nextId.empty()))
            return std::nullopt;
        return "it is truncated but does not go on past " + xml::quoted(from);
    }

    static std::optional<Error> readAcl(S3Request& request, std::string_view) {
        return readPolicy(request, bucket(request).acl_);
    }

    static std::optional<Error> readDeleteResult(S3Request& request, std::string_view) {
        return readInto(parseDeleteResult(request.responseData()), bucket(request).deleteFailures_,
                        "the delete result", request.responseStatusCode());
    }

    static std::optional<Error> readVersioning(S3Request& request, std::string_view) {
        return readInto(parseVersioning(request.responseData()), bucket(request).versioningStatus_,
                        "the versioning configuration", request.responseStatusCode());
    }

    static std::optional<Error> readTags(S3Request& request, std::string_view) {
        return readInto(parseTagging(request.responseData()), bucket(request).tags_, "the tag set",
                        request.responseStatusCode());
    }

    static std::optional<Error> readLifecycle(S3Request& request, std::string_view) {
        return readInto(parseLifecycle(request.responseData()), bucket(request).lifecycle_,
                        "the lifecycle configuration", request.responseStatusCode());
    }

    static std::optional<Error> readCors(S3Request& request, std::string_view) {
        return readInto(parseCors(request.responseData()), bucket(request).cors_,
                        "the CORS configuration", request.responseStatusCode());
    }

    static std::optional<Error> readObjectLock(S3Request& request, std::string_view) {
        return readInto(parseObjectLock(request.responseData()), bucket(request).objectLock_,
                        "the object lock configuration", request.responseStatusCode());
    }

    static void createIn(const S3Request& request, Attempt& attempt) {
        attempt.body = BodySource::memory(createBucketBody(request.region()));
    }

    static void createLockedIn(const S3Request& request, Attempt& attempt) {
        createIn(request, attempt);
        attempt.headers.emplace_back("x-amz-bucket-object-lock-enabled", "true");
    }

    // In the order of S3BucketRequest::Operation. The listings that have a sub-resource name it
    // in their query.
    static constexpr std::array<S3Kind, 27> kinds{{
        {.read = &readListing},                         // list
        {.method = "PUT", .prepare = &createIn},        // create
        {.method = "DELETE"},                           // remove
        {.subresource = "acl", .read = &readAcl},       // getAcl
        putKind("acl"),                                 // setAcl
        {.method = "HEAD", .missing = "NoSuchBucket"},  // head
        {.method = "POST",
         .subresource = "delete",
         .read = &readDeleteResult,
         .takesValue = true},                                     // removeObjects
        {.read = &readListing},                                   // listV2
        {.read = &readVersions},                                  // listVersions
        {.read = &readUploads},                                   // listUploads
        {.method = "PUT", .prepare = &createLockedIn},            // createWithObjectLock
        {.subresource = "versioning", .read = &readVersioning},   // getVersioning
        putKind("versioning"),                                    // setVersioning
        {.subresource = "tagging", .read = &readTags},            // getTagging
        putKind("tagging"),                                       // setTagging
        deleteKind("tagging"),                                    // deleteTagging
        {.subresource = "policy"},                                // getPolicy
        putKind("policy"),                                        // setPolicy
        deleteKind("policy"),                                     // deletePolicy
        {.subresource = "lifecycle", .read = &readLifecycle},     // getLifecycle
        putKind("lifecycle"),                                     // setLifecycle
        deleteKind("lifecycle"),                                  // deleteLifecycle
        {.subresource = "cors", .read = &readCors},               // getCors
        putKind("cors"),                                          // setCors
        deleteKind("cors"),                                       // deleteCors
        {.subresource = "object-lock", .read = &readObjectLock},  // getObjectLock
        putKind("object-lock"),                                   // setObjectLock
    }};
    static_assert(kinds.size() == static_cast<std::size_t>(Kind::setObjectLock) + 1);
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
    setDocument(detail::deleteObjectsBody(keys));
}

void S3BucketRequest::setValue(const std::string& statusOrPolicy) {
    if (operation_ == Operation::setPolicy)
        return setDocument(statusOrPolicy, "application/json");
    if (statusOrPolicy != "Enabled" && statusOrPolicy != "Suspended")
        return failBeforeSending(detail::misuse(
            detail::Code::InvalidParameter,
            "versioning is \"Enabled\" or \"Suspended\", not \"" + statusOrPolicy + "\""));
    setDocument(detail::versioningBody(statusOrPolicy));
}

void S3BucketRequest::setValue(const StringMap& tags) {
    if (auto error = detail::tagSetProblem(tags, maxTags))
        return failBeforeSending(std::move(*error));
    setDocument(detail::taggingBody(tags));
}

void S3BucketRequest::setValue(const S3LifecycleConfiguration& lifecycle) {
    setDocument(detail::lifecycleBody(lifecycle));
}

void S3BucketRequest::setValue(const S3CorsConfiguration& cors) {
    setDocument(detail::corsBody(cors));
}

void S3BucketRequest::setValue(const S3ObjectLockConfiguration& objectLock) {
    const bool period = objectLock.days.has_value() != objectLock.years.has_value();
    const bool none = !objectLock.days && !objectLock.years;
    if (!objectLock.enabled || (objectLock.mode.empty() ? !none : !period))
        return failBeforeSending(detail::misuse(
            detail::Code::InvalidParameter,
            "an object lock is enabled, with a mode and either days or years, or neither"));
    setDocument(detail::objectLockBody(objectLock));
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

void S3BucketRequest::setContinuationToken(std::string token) {
    if (state() != State::ready)
        return;
    continuationToken_ = std::move(token);
    updateListingQuery();
}

void S3BucketRequest::setListedUpTo(std::string name) {
    if (state() == State::ready)
        listedUpTo_ = std::move(name);
}

void S3BucketRequest::setFetchOwner(bool fetch) {
    if (state() != State::ready)
        return;
    fetchOwner_ = fetch;
    updateListingQuery();
}

void S3BucketRequest::setVersionIdMarker(std::string marker) {
    if (state() != State::ready)
        return;
    versionIdMarker_ = std::move(marker);
    updateListingQuery();
}

void S3BucketRequest::setUploadIdMarker(std::string marker) {
    if (state() != State::ready)
        return;
    uploadIdMarker_ = std::move(marker);
    updateListingQuery();
}

// Empty options mean "none": leaving them out is what every server reads that way.
void S3BucketRequest::updateListingQuery() {
    const auto option = [this](const char* name, const std::string& value) {
        if (!value.empty())
            setQueryParameter(name, value);
    };
    const std::string count = maxResultCount_ ? std::to_string(*maxResultCount_) : "";
    switch (operation_) {
        case Operation::list:
            clearQueryParameters();
            option("delimiter", delimiter_);
            // Keys holding control characters come back intact only percent-encoded.
            option("encoding-type", "url");
            option("marker", marker_);
            option("max-keys", count);
            return option("prefix", prefix_);
        case Operation::listV2:
            clearQueryParameters();
            option("list-type", "2");
            option("continuation-token", continuationToken_);
            option("delimiter", delimiter_);
            option("encoding-type", "url");
            option("fetch-owner", fetchOwner_ ? "true" : "");
            option("max-keys", count);
            option("prefix", prefix_);
            return option("start-after", marker_);
        case Operation::listVersions:
            clearQueryParameters();
            setQueryParameter("versions", "");
            option("delimiter", delimiter_);
            option("encoding-type", "url");
            option("key-marker", marker_);
            option("max-keys", count);
            option("prefix", prefix_);
            return option("version-id-marker", versionIdMarker_);
        case Operation::listUploads:
            // Not url-encoded: RGW encodes the keys then without saying so.
            clearQueryParameters();
            setQueryParameter("uploads", "");
            option("delimiter", delimiter_);
            option("key-marker", marker_);
            option("max-uploads", count);
            option("prefix", prefix_);
            return option("upload-id-marker", uploadIdMarker_);
        default:
            return;
    }
}

}  // namespace quilo
