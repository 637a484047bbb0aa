#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quilo/requestlib/base/Export.hpp"
#include "quilo/requestlib/s3/S3Request.hpp"
#include "quilo/requestlib/s3/S3Types.hpp"

namespace quilo {
namespace detail {
struct ObjectKinds;
class MetadataReplacement;
class MultipartUpload;
class PartCopy;
}  // namespace detail

// A request on one object. Each factory builds an R, so that classes derived from this one get
// requests of their own type. A bucket or key that is absent or empty is a misuse: the request
// fails when started, and nothing is sent.
class QUILO_EXPORT S3ObjectRequest : public S3Request {
  public:
    // What the request does, as its factory chose it. listParts lists the parts of a multipart
    // upload in progress; abortUpload aborts one, and the parts it holds go.
    enum class Operation {
        get,
        putFile,
        copy,
        remove,
        getAcl,
        setAcl,
        head,
        setMeta,
        getTagging,
        setTagging,
        deleteTagging,
        getRetention,
        setRetention,
        getLegalHold,
        setLegalHold,
        listParts,
        abortUpload
    };
    // A bucket, key or path that a parameter map may lack.
    using OptionalString = std::optional<std::string>;

    // The most tags an object may carry.
    static constexpr std::size_t maxTags = 10;

    // A request with nothing to do: the factories build the ones to send.
    using S3Request::S3Request;

    // Fetches the object: into downloadDestinationPath() when one is set, else responseData().
    template <class R = S3ObjectRequest>
    requires std::derived_from<R, S3ObjectRequest>
    static std::shared_ptr<R> requestWithBucket(OptionalString bucket, OptionalString key) {
        return make<R>(Operation::get, std::move(bucket), std::move(key));
    }
    // Uploads a local file, streamed from disk. Files larger than multipartThreshold() go up as
    // a multipart upload, still one request with one progress stream to the caller.
    template <class R = S3ObjectRequest>
    requires std::derived_from<R, S3ObjectRequest>
    static std::shared_ptr<R> PUTRequestForFile(OptionalString filePath, OptionalString bucket,
                                                OptionalString key) {
        auto request = make<R>(Operation::putFile, std::move(bucket), std::move(key));
        static_cast<S3ObjectRequest&>(*request).setSourceFile(std::move(filePath));
        return request;
    }
    // Copies srcBucket/srcKey to desBucket/desKey on the server.
    template <class R = S3ObjectRequest>
    requires std::derived_from<R, S3ObjectRequest>
    static std::shared_ptr<R> COPYRequestFromBucket(OptionalString srcBucket, OptionalString srcKey,
                                                    OptionalString desBucket,
                                                    OptionalString desKey) {
        auto request = make<R>(Operation::copy, std::move(desBucket), std::move(desKey));
        static_cast<S3ObjectRequest&>(*request).setCopySource(std::move(srcBucket),
                                                              std::move(srcKey));
        return request;
    }
    // Deletes the object.
    template <class R = S3ObjectRequest>
    requires std::derived_from<R, S3ObjectRequest>
    static std::shared_ptr<R> DELETERequestWithBucket(OptionalString bucket, OptionalString key) {
        return make<R>(Operation::remove, std::move(bucket), std::move(key));
    }
    // Reads the object's access-control list.
    template <class R = S3ObjectRequest>
    requires std::derived_from<R, S3ObjectRequest>
    static std::shared_ptr<R> requestForAclWithBucket(OptionalString bucket, OptionalString key) {
        return make<R>(Operation::getAcl, std::move(bucket), std::move(key));
    }
    // Replaces the object's access-control list with the grants of `acl` (see AclMap).
    template <class R = S3ObjectRequest>
    requires std::derived_from<R, S3ObjectRequest>
    static std::shared_ptr<R> PUTRequestWithBucket(OptionalString bucket, OptionalString key,
                                                   AclMap acl) {
        auto request = make<R>(Operation::setAcl, std::move(bucket), std::move(key));
        static_cast<S3ObjectRequest&>(*request).setGrants(acl);
        return request;
    }
    // Reads the object's metadata (HEAD): see metadata() and responseHeaders().
    template <class R = S3ObjectRequest>
    requires std::derived_from<R, S3ObjectRequest>
    static std::shared_ptr<R> requestForMetaWithBucket(OptionalString bucket, OptionalString key) {
        return make<R>(Operation::head, std::move(bucket), std::move(key));
    }
    // Replaces the object's metadata, leaving its bytes as they are. Each entry goes out as
    // "x-amz-meta-<name>", except "Content-Type", "Cache-Control", "Content-Disposition",
    // "Content-Encoding", "Content-Language" and "Expires", which go out as themselves. A name
    // that is not an HTTP token, or a name or value holding CR or LF, is a misuse.
    // Services replace metadata by copying the object onto itself, and a copy gets a fresh
    // (private) access-control list. So the request first reads the object's list and sends
    // its grants with the copy; if that read fails, or a grant cannot be written as a header,
    // the request fails and nothing is copied. A request given its own x-amz-acl or
    // x-amz-grant-* header sends that instead and reads nothing.
    template <class R = S3ObjectRequest>
    requires std::derived_from<R, S3ObjectRequest>
    static std::shared_ptr<R> PUTRequestWithBucket(OptionalString bucket, OptionalString key,
                                                   StringMap meta) {
        auto request = make<R>(Operation::setMeta, std::move(bucket), std::move(key));
        static_cast<S3ObjectRequest&>(*request).setMetadataHeaders(meta);
        return request;
    }

    // A request that needs nothing but the bucket and the key: a get, head or delete, or the
    // reading or removal of a tag set, a retention or a legal hold. An operation that sends a
    // value has its own factory; asked for here, it is a misuse.
    template <class R = S3ObjectRequest>
    requires std::derived_from<R, S3ObjectRequest>
    static std::shared_ptr<R> requestWithBucket(OptionalString bucket, OptionalString key,
                                                Operation operation) {
        auto request = make<R>(operation, std::move(bucket), std::move(key));
        static_cast<S3ObjectRequest&>(*request).refuseWithoutValue();
        return request;
    }
    // Replaces the object's tags with up to maxTags of them.
    template <class R = S3ObjectRequest>
    requires std::derived_from<R, S3ObjectRequest>
    static std::shared_ptr<R> PUTRequestForTaggingWithBucket(OptionalString bucket,
                                                             OptionalString key, StringMap tags) {
        return withValue<R>(Operation::setTagging, std::move(bucket), std::move(key), tags);
    }
    // Locks the object (in a bucket created with object lock) until the retention's date. A
    // mode other than "GOVERNANCE" or "COMPLIANCE", or a date not written like
    // "2030-01-01T00:00:00Z" (a fraction of a second may come before the Z), is a misuse.
    template <class R = S3ObjectRequest>
    requires std::derived_from<R, S3ObjectRequest>
    static std::shared_ptr<R> PUTRequestForRetentionWithBucket(OptionalString bucket,
                                                               OptionalString key,
                                                               const S3Retention& retention) {
        return withValue<R>(Operation::setRetention, std::move(bucket), std::move(key), retention);
    }
    // Puts a legal hold on the object, which keeps it until lifted, or lifts it.
    template <class R = S3ObjectRequest>
    requires std::derived_from<R, S3ObjectRequest>
    static std::shared_ptr<R> PUTRequestForLegalHoldWithBucket(OptionalString bucket,
                                                               OptionalString key, bool on) {
        return withValue<R>(Operation::setLegalHold, std::move(bucket), std::move(key), on);
    }
    // Lists the parts a multipart upload in progress holds (see setMaxResultCount and
    // setPartNumberMarker), or aborts it.
    template <class R = S3ObjectRequest>
    requires std::derived_from<R, S3ObjectRequest>
    static std::shared_ptr<R> requestForPartsWithBucket(OptionalString bucket, OptionalString key,
                                                        std::string uploadId) {
        return withValue<R>(Operation::listParts, std::move(bucket), std::move(key), uploadId);
    }
    template <class R = S3ObjectRequest>
    requires std::derived_from<R, S3ObjectRequest>
    static std::shared_ptr<R> DELETERequestForUploadWithBucket(OptionalString bucket,
                                                               OptionalString key,
                                                               std::string uploadId) {
        return withValue<R>(Operation::abortUpload, std::move(bucket), std::move(key), uploadId);
    }

    // What the request does.
    Operation operation() const { return operation_; }

    // The version of the object the request is about, rather than the latest, for the requests
    // that read or change one that is there (not putFile, copy, setMeta or an upload's). An
    // empty id, or one holding other than printable ASCII, is a misuse.
    void setVersionId(OptionalString versionId);
    const OptionalString& versionId() const { return versionId_; }
    // Listing a multipart upload's parts: at most this many, after this part number.
    void setMaxResultCount(std::int32_t count);
    void setPartNumberMarker(std::int32_t number);

    // Canned access policy of an upload, sent as "x-amz-acl" ("private", "public-read", ...).
    void setAccessPolicy(std::optional<std::string> policy);
    const std::optional<std::string>& accessPolicy() const { return accessPolicy_; }

    // Process-wide multipart settings, read when an upload starts.
    static void setMultipartThreshold(std::uint64_t bytes);  // default 64 MiB
    static std::uint64_t multipartThreshold();
    static void setMultipartPartSize(std::uint64_t bytes);  // default 16 MiB, at least 5 MiB
    static std::uint64_t multipartPartSize();
    static void setMultipartConcurrency(int parts);  // parts in flight, default 8
    static int multipartConcurrency();
    // Process-wide settings of downloads into a file, read when the first answer arrives: an
    // object larger than the threshold (whose ETag is strong and whose server takes ranges)
    // comes in ranges, several at once, each asking for the version the first answer named.
    static void setRangeThreshold(std::uint64_t bytes);  // default 64 MiB
    static std::uint64_t rangeThreshold();
    static void setRangeSize(std::uint64_t bytes);  // default 16 MiB, at least 64 KiB
    static std::uint64_t rangeSize();
    static void setRangeConcurrency(int ranges);  // ranges in flight, default 8
    static int rangeConcurrency();
    // Process-wide: a copy whose source is larger than this goes in parts (UploadPartCopy) of
    // multipartPartSize(), multipartConcurrency() at once, as an upload does; services copy at
    // most 5 GiB in one request. Every copy first reads its source's size (HEAD); a source it
    // cannot read is left to the service's one copy, and its answer. The copy in parts takes
    // the source's type and metadata (the request's own, with x-amz-metadata-directive REPLACE)
    // and its tags, and each part asks for the version the HEAD saw.
    static void setCopyPartThreshold(std::uint64_t bytes);  // default 5 GiB
    static std::uint64_t copyPartThreshold();
    // Whether the bytes are checked (default true). Uploads are signed with the SHA-256 of each
    // body, hashed ahead of sending, so that the service refuses a body changed on the way;
    // downloads take the MD5 of their bytes and fail with ErrorKind::integrity when it differs
    // from a plain-MD5 ETag. An object uploaded in parts has no such ETag: its bytes are not
    // digested (the part boundaries are unknown), and what holds is that they all come from the
    // version the first answer named. Turning it off sends uploads as UNSIGNED-PAYLOAD and saves
    // the digests' CPU time, giving up both checks.
    static void setVerifiesChecksums(bool verify);
    static bool verifiesChecksums();

    // The answer of requestForAclWithBucket.
    const std::optional<S3AccessControlPolicy>& accessControlPolicy() const { return acl_; }
    // The object's ETag, without quotes, from the answer of a get, head, upload or copy.
    const std::string& etag() const { return etag_; }
    // The answers of getTagging, getRetention and getLegalHold.
    const StringMap& tags() const { return tags_; }
    const S3Retention& retention() const { return retention_; }
    bool legalHold() const { return legalHold_; }
    // The answer of listParts: the parts, and where the next page starts if there is one.
    const std::vector<S3Part>& parts() const { return parts_; }
    bool isTruncated() const { return isTruncated_; }
    const std::optional<std::int32_t>& nextPartNumberMarker() const {
        return nextPartNumberMarker_;
    }

  private:
    template <class R>
    static std::shared_ptr<R> make(Operation operation, OptionalString bucket, OptionalString key) {
        auto request = std::make_shared<R>();
        static_cast<S3ObjectRequest&>(*request).setUp(operation, std::move(bucket), std::move(key));
        return request;
    }
    template <class R, class T>
    static std::shared_ptr<R> withValue(Operation operation, OptionalString bucket,
                                        OptionalString key, const T& value) {
        auto request = make<R>(operation, std::move(bucket), std::move(key));
        static_cast<S3ObjectRequest&>(*request).setValue(value);
        return request;
    }
    friend struct detail::ObjectKinds;
    friend class detail::MultipartUpload;
    friend class detail::MetadataReplacement;
    friend class detail::PartCopy;
    void setUp(Operation operation, OptionalString bucket, OptionalString key);
    void setValue(const StringMap& tags);
    void setValue(const S3Retention& retention);
    void setValue(bool legalHold);
    void setValue(const std::string& uploadId);
    void updateQuery();
    void setCopySource(OptionalString bucket, OptionalString key);
    void setSourceFile(OptionalString path);
    void setMetadataHeaders(const StringMap& meta);

    Operation operation_ = Operation::get;
    OptionalString versionId_;
    std::string uploadId_;
    std::optional<std::int32_t> maxResultCount_, partNumberMarker_;
    std::optional<std::string> accessPolicy_;
    std::optional<std::pair<std::string, std::string>> copySource_;  // bucket, key
    std::vector<std::pair<std::string, std::string>> keptGrants_;    // sent with a setMeta copy

    std::optional<S3AccessControlPolicy> acl_;
    std::string etag_;
    StringMap tags_;
    S3Retention retention_;
    bool legalHold_ = false;
    std::vector<S3Part> parts_;
    bool isTruncated_ = false;
    std::optional<std::int32_t> nextPartNumberMarker_;
};

}  // namespace quilo
