#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quilo/requestlib/base/Export.hpp"
#include "quilo/requestlib/s3/S3Request.hpp"
#include "quilo/requestlib/s3/S3Types.hpp"

namespace quilo {
namespace detail {
struct BucketKinds;
}

// A request on one bucket. Each factory builds an R, so that classes derived from this one get
// requests of their own type. An empty bucket name is a misuse: the request fails when started,
// and nothing is sent.
class QUILO_EXPORT S3BucketRequest : public S3Request {
  public:
    // What the request does, as its factory chose it. listV2 is ListObjectsV2 (a continuation
    // token, start-after, owners on request); listVersions lists every version and delete marker,
    // listUploads the multipart uploads in progress; createWithObjectLock makes a bucket whose
    // object versions can be locked.
    enum class Operation {
        list,
        create,
        remove,
        getAcl,
        setAcl,
        head,
        removeObjects,
        listV2,
        listVersions,
        listUploads,
        createWithObjectLock,
        getVersioning,
        setVersioning,
        getTagging,
        setTagging,
        deleteTagging,
        getPolicy,
        setPolicy,
        deletePolicy,
        getLifecycle,
        setLifecycle,
        deleteLifecycle,
        getCors,
        setCors,
        deleteCors,
        getObjectLock,
        setObjectLock
    };

    // The most keys one multi-object delete may name, and tags a bucket may carry.
    static constexpr std::size_t maxKeysPerDelete = 1000;
    static constexpr std::size_t maxTags = 50;

    // A request with nothing to do: the factories build the ones to send.
    using S3Request::S3Request;

    // Lists the bucket's objects (GET /bucket, ListObjects version 1, with a marker).
    template <class R = S3BucketRequest>
    requires std::derived_from<R, S3BucketRequest>
    static std::shared_ptr<R> requestWithBucket(std::string bucket) {
        return make<R>(Operation::list, std::move(bucket));
    }
    // Creates the bucket.
    template <class R = S3BucketRequest>
    requires std::derived_from<R, S3BucketRequest>
    static std::shared_ptr<R> PUTRequestWithBucket(std::string bucket) {
        return make<R>(Operation::create, std::move(bucket));
    }
    // Replaces the bucket's access-control list with the grants of `acl` (see AclMap).
    template <class R = S3BucketRequest>
    requires std::derived_from<R, S3BucketRequest>
    static std::shared_ptr<R> PUTRequestWithBucket(std::string bucket, AclMap acl) {
        auto request = make<R>(Operation::setAcl, std::move(bucket));
        static_cast<S3BucketRequest&>(*request).setGrants(acl);
        return request;
    }
    // Deletes the bucket, which must be empty.
    template <class R = S3BucketRequest>
    requires std::derived_from<R, S3BucketRequest>
    static std::shared_ptr<R> DELETERequestWithBucket(std::string bucket) {
        return make<R>(Operation::remove, std::move(bucket));
    }
    // Deletes 1 to maxKeysPerDelete objects of the bucket in one request (POST /bucket?delete).
    // It finishes when the service answers 2xx, even if some keys failed: see deleteFailures().
    // A key that is already gone counts as deleted. A key that XML cannot carry (see
    // isDeletableInBatch) is a misuse, and nothing is sent.
    template <class R = S3BucketRequest>
    requires std::derived_from<R, S3BucketRequest>
    static std::shared_ptr<R> DELETERequestWithBucket(std::string bucket, StringList keys) {
        auto request = make<R>(Operation::removeObjects, std::move(bucket));
        static_cast<S3BucketRequest&>(*request).setKeysToDelete(keys);
        return request;
    }
    // Whether a multi-object delete can name the key: XML 1.0 carries no control character but
    // TAB, LF and CR, and nothing that is not UTF-8. Such a key can still go by its own DELETE.
    static bool isDeletableInBatch(std::string_view key) noexcept;
    // Reads the bucket's access-control list.
    template <class R = S3BucketRequest>
    requires std::derived_from<R, S3BucketRequest>
    static std::shared_ptr<R> requestForAclWithBucket(std::string bucket) {
        return make<R>(Operation::getAcl, std::move(bucket));
    }
    // Reads the bucket's metadata (HEAD /bucket): see responseHeaders() and metadata().
    template <class R = S3BucketRequest>
    requires std::derived_from<R, S3BucketRequest>
    static std::shared_ptr<R> requestForMetaWithBucket(std::string bucket) {
        return make<R>(Operation::head, std::move(bucket));
    }
    // A request that needs nothing but the bucket: a listing, a creation with object lock, or
    // the reading or removal of a configuration. An operation that sends a value has its own
    // factory below; asked for here, it is a misuse.
    template <class R = S3BucketRequest>
    requires std::derived_from<R, S3BucketRequest>
    static std::shared_ptr<R> requestWithBucket(std::string bucket, Operation operation) {
        auto request = make<R>(operation, std::move(bucket));
        static_cast<S3BucketRequest&>(*request).refuseWithoutValue();
        return request;
    }
    // Turns versioning "Enabled" or "Suspended" (versions already kept stay).
    template <class R = S3BucketRequest>
    requires std::derived_from<R, S3BucketRequest>
    static std::shared_ptr<R> PUTRequestForVersioningWithBucket(std::string bucket,
                                                                std::string status) {
        return withValue<R>(Operation::setVersioning, std::move(bucket), status);
    }
    // Replaces the bucket's tags with up to maxTags of them.
    template <class R = S3BucketRequest>
    requires std::derived_from<R, S3BucketRequest>
    static std::shared_ptr<R> PUTRequestForTaggingWithBucket(std::string bucket, StringMap tags) {
        return withValue<R>(Operation::setTagging, std::move(bucket), tags);
    }
    // Replaces the bucket's policy with this JSON document, sent as it is.
    template <class R = S3BucketRequest>
    requires std::derived_from<R, S3BucketRequest>
    static std::shared_ptr<R> PUTRequestForPolicyWithBucket(std::string bucket,
                                                            std::string policy) {
        return withValue<R>(Operation::setPolicy, std::move(bucket), policy);
    }
    template <class R = S3BucketRequest>
    requires std::derived_from<R, S3BucketRequest>
    static std::shared_ptr<R> PUTRequestForLifecycleWithBucket(
        std::string bucket, const S3LifecycleConfiguration& lifecycle) {
        return withValue<R>(Operation::setLifecycle, std::move(bucket), lifecycle);
    }
    template <class R = S3BucketRequest>
    requires std::derived_from<R, S3BucketRequest>
    static std::shared_ptr<R> PUTRequestForCorsWithBucket(std::string bucket,
                                                          const S3CorsConfiguration& cors) {
        return withValue<R>(Operation::setCors, std::move(bucket), cors);
    }
    // Sets the default retention of a bucket created with object lock.
    template <class R = S3BucketRequest>
    requires std::derived_from<R, S3BucketRequest>
    static std::shared_ptr<R> PUTRequestForObjectLockWithBucket(
        std::string bucket, const S3ObjectLockConfiguration& objectLock) {
        return withValue<R>(Operation::setObjectLock, std::move(bucket), objectLock);
    }

    // A form through which a browser uploads one file straight into the bucket, signed with
    // this request's keys and token for its region and addressing; nothing is sent. nullopt
    // without both keys, for an empty key, an expiry beyond 1 second to 7 days, a field that
    // the signature itself needs, or a content length range whose least exceeds its most.
    std::optional<S3PostForm> presignedPost(const S3PostPolicy& policy) const;

    // What the request does.
    Operation operation() const { return operation_; }

    // Listing options. Empty strings ask for nothing (no prefix, no delimiter, from the start).
    // The marker is the key a listing starts after: ListObjectsV2's start-after, the key marker
    // of version and upload listings. A version listing that starts within a key's versions
    // names the version id too, as an upload listing names an upload id.
    void setMaxResultCount(std::int32_t count);
    const std::optional<std::int32_t>& maxResultCount() const { return maxResultCount_; }
    void setPrefix(std::string prefix);
    const std::string& prefix() const { return prefix_; }
    void setDelimiter(std::string delimiter);
    const std::string& delimiter() const { return delimiter_; }
    void setMarker(std::string marker);
    const std::string& marker() const { return marker_; }
    void setContinuationToken(std::string token);
    const std::string& continuationToken() const { return continuationToken_; }
    void setFetchOwner(bool fetch);  // ListObjectsV2 names owners only when asked
    void setVersionIdMarker(std::string marker);
    void setUploadIdMarker(std::string marker);
    // ListObjectsV2 from a continuation token: the last key or common prefix of the page the
    // token came with. It is not sent; a page that does not begin above it fails as malformed,
    // since tokens carry no order a walk could check. Every listing page fails so when it
    // begins at or below its marker, or is truncated and yet names nothing past it: a server
    // that answered so would have its listing walked for ever. An empty ListObjectsV2 page
    // may still be truncated, as servers that skip hidden entries answer, if its token is new.
    void setListedUpTo(std::string name);
    const std::string& listedUpTo() const { return listedUpTo_; }

    // The answer of a listing.
    const std::vector<S3Object>& objects() const { return objects_; }
    const std::vector<std::string>& commonPrefixes() const { return commonPrefixes_; }
    bool isTruncated() const { return isTruncated_; }
    // Where the next page starts: the service's NextMarker (a version or upload listing's
    // NextKeyMarker), or, on a truncated page without one, the last key or common prefix of
    // this page. Empty when the listing is complete.
    const std::string& nextMarker() const { return nextMarker_; }
    const std::string& nextContinuationToken() const { return nextContinuationToken_; }
    const std::string& nextVersionIdMarker() const { return nextVersionIdMarker_; }
    const std::string& nextUploadIdMarker() const { return nextUploadIdMarker_; }
    const std::vector<S3ObjectVersion>& versions() const { return versions_; }
    const std::vector<S3MultipartUpload>& uploads() const { return uploads_; }

    // The configurations read. Versioning: "Enabled", "Suspended", or "" if never turned on.
    const std::string& versioningStatus() const { return versioningStatus_; }
    const StringMap& tags() const { return tags_; }
    const std::string& policy() const { return responseData(); }
    const S3LifecycleConfiguration& lifecycle() const { return lifecycle_; }
    const S3CorsConfiguration& cors() const { return cors_; }
    const S3ObjectLockConfiguration& objectLock() const { return objectLock_; }

    // The answer of requestForAclWithBucket.
    const std::optional<S3AccessControlPolicy>& accessControlPolicy() const { return acl_; }
    // The keys a multi-object delete could not remove, with the service's reasons.
    const std::vector<S3DeleteFailure>& deleteFailures() const { return deleteFailures_; }

  private:
    friend struct detail::BucketKinds;
    template <class R>
    static std::shared_ptr<R> make(Operation operation, std::string bucket) {
        auto request = std::make_shared<R>();
        static_cast<S3BucketRequest&>(*request).setUp(operation, std::move(bucket));
        return request;
    }
    template <class R, class T>
    static std::shared_ptr<R> withValue(Operation operation, std::string bucket, const T& value) {
        auto request = make<R>(operation, std::move(bucket));
        static_cast<S3BucketRequest&>(*request).setValue(value);
        return request;
    }
    void setUp(Operation operation, std::string bucket);
    void updateListingQuery();
    void setKeysToDelete(const StringList& keys);
    void setValue(const std::string& statusOrPolicy);
    void setValue(const StringMap& tags);
    void setValue(const S3LifecycleConfiguration& lifecycle);
    void setValue(const S3CorsConfiguration& cors);
    void setValue(const S3ObjectLockConfiguration& objectLock);

    Operation operation_ = Operation::list;
    std::optional<std::int32_t> maxResultCount_;
    std::string prefix_, delimiter_, marker_, continuationToken_, versionIdMarker_, uploadIdMarker_;
    std::string listedUpTo_;
    bool fetchOwner_ = false;

    std::vector<S3Object> objects_;
    std::vector<std::string> commonPrefixes_;
    bool isTruncated_ = false;
    std::string nextMarker_, nextContinuationToken_, nextVersionIdMarker_, nextUploadIdMarker_;
    std::vector<S3ObjectVersion> versions_;
    std::vector<S3MultipartUpload> uploads_;
    std::string versioningStatus_;
    StringMap tags_;
    S3LifecycleConfiguration lifecycle_;
    S3CorsConfiguration cors_;
    S3ObjectLockConfiguration objectLock_;
    std::optional<S3AccessControlPolicy> acl_;
    std::vector<S3DeleteFailure> deleteFailures_;
};

}  // namespace quilo
