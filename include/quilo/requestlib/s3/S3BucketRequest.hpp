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
    // What the request does, as its factory chose it.
    enum class Operation { list, create, remove, getAcl, setAcl, head, removeObjects };

    // The most keys one multi-object delete may name.
    static constexpr std::size_t maxKeysPerDelete = 1000;

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

    // What the request does.
    Operation operation() const { return operation_; }

    // Listing options. Empty strings ask for nothing (no prefix, no delimiter, from the start).
    void setMaxResultCount(std::int32_t count);
    const std::optional<std::int32_t>& maxResultCount() const { return maxResultCount_; }
    void setPrefix(std::string prefix);
    const std::string& prefix() const { return prefix_; }
    void setDelimiter(std::string delimiter);
    const std::string& delimiter() const { return delimiter_; }
    void setMarker(std::string marker);
    const std::string& marker() const { return marker_; }

    // The answer of a listing.
    const std::vector<S3Object>& objects() const { return objects_; }
    const std::vector<std::string>& commonPrefixes() const { return commonPrefixes_; }
    bool isTruncated() const { return isTruncated_; }
    // Where the next page starts: the service's NextMarker, or, on a truncated page without
    // one, the last key or common prefix of this page. Empty when the listing is complete.
    const std::string& nextMarker() const { return nextMarker_; }

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
    void setUp(Operation operation, std::string bucket);
    void updateListingQuery();
    void setKeysToDelete(const StringList& keys);

    Operation operation_ = Operation::list;
    std::optional<std::int32_t> maxResultCount_;
    std::string prefix_, delimiter_, marker_;

    std::vector<S3Object> objects_;
    std::vector<std::string> commonPrefixes_;
    bool isTruncated_ = false;
    std::string nextMarker_;
    std::optional<S3AccessControlPolicy> acl_;
    std::vector<S3DeleteFailure> deleteFailures_;
};

}  // namespace quilo
