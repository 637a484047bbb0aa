#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
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
        abortUpload,
        putData,
        putStream
    };
    // A bucket, key or path that a parameter map may lack.
    using OptionalString = std::optional<std::string>;
    // Fills the front of `buffer` with a stream's next bytes and says how many it wrote: 0 once
    // the stream has ended, nullopt when it failed (the request then fails). Called on a thread
    // of the library's own, never the network thread, one call after another; it may block.
    using Reader = std::function<std::optional<std::size_t>(std::span<char> buffer)>;

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
    // Uploads bytes in memory, handed over to the request, in one PUT or, above
    // multipartThreshold(), in parts.
    template <class R = S3ObjectRequest>
    requires std::derived_from<R, S3ObjectRequest>
    static std::shared_ptr<R> PUTRequestForData(OptionalString bucket, OptionalString key,
                                                std::string data) {
        auto request = make<R>(Operation::putData, std::move(bucket), std::move(key));
        request->setPostBody(std::move(data));
        return request;
    }
    // Uploads bytes the caller keeps: they must stay in place, unchanged, until the request ends.
    template <class R = S3ObjectRequest>
    requires std::derived_from<R, S3ObjectRequest>
    static std::shared_ptr<R> PUTRequestForData(OptionalString bucket, OptionalString key,
                                                std::span<const std::byte> data) {
        auto request = make<R>(Operation::putData, std::move(bucket), std::move(key));
        request->setUploadData(data);
        return request;
    }
    // Uploads a stream of unknown length, read by `reader` one part (multipartPartSize()) at a
    // time, each hashed as it is read: a stream that ends within its first part goes up in one
    // PUT, a longer one in parts, at most multipartConcurrency() + 1 of them held at once. The
    // progress total is 0 until the stream has ended. A stream longer than 10000 parts fails.
    template <class R = S3ObjectRequest>
    requires std::derived_from<R, S3ObjectRequest>
    static std::shared_ptr<R> PUTRequestForStream(OptionalString bucket, OptionalString key,
                                                  Reader reader) {
        auto request = make<R>(Operation::putStream, std::move(bucket), std::move(key));
        static_cast<S3ObjectRequest&>(*request).setReader(std::move(reader));
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

    // Options of an upload (from a file, memory or a stream) and of a copy, each checked as it
    // is set: a value that cannot be sent as it is, or an option the request does not take, is
    // a misuse, and nothing is sent.
    //
    // The new object's headers, by their names: "Content-Type", "Cache-Control",
    // "Content-Disposition", "Content-Encoding", "Content-Language", "Expires" (a time as HTTP
    // or ISO 8601 writes it) and user metadata as "x-amz-meta-<name>". A copy given any takes
    // them in place of its source's (x-amz-metadata-directive REPLACE).
    void setObjectHeaders(const StringMap& headers);
    // "STANDARD", "STANDARD_IA", ...: upper-case letters, digits and underscores.
    void setStorageClass(const std::string& storageClass);
    // Tags as a URL query, "a=1&b=two%20words", as awscli takes them: at most maxTags, each
    // key once and not empty. A copy given tags takes them in place of its source's.
    void setTagging(std::string_view tagging);
    // "AES256" (a key the service keeps) or "aws:kms" with the id of a KMS key, or without it
    // for the service's default one.
    void setServerSideEncryption(const std::string& algorithm, OptionalString kmsKeyId);
    // SSE-C: the caller's 256-bit key, in base64. The service keeps no copy: reading the object
    // (get or head) takes the same key. Every request that carries the object's bytes, each
    // part and range included, carries it.
    void setCustomerKey(std::string_view base64Key);
    // A copy keeps its source's metadata ("COPY", the default) or takes its own ("REPLACE").
    void setMetadataDirective(const std::string& directive);
    // The version of a copy's source, rather than its latest.
    void setSourceVersionId(OptionalString versionId);
    const OptionalString& sourceVersionId() const { return sourceVersionId_; }

    // Preconditions of a get or head. A get or head whose object does not meet them fails with
    // a service error whose code is "NotModified" (HTTP 304: If-None-Match, If-Modified-Since)
    // or "PreconditionFailed" (HTTP 412: If-Match, If-Unmodified-Since), so that a cache can
    // tell them from a failure. An entity tag is sent as given; a time as HTTP or ISO 8601
    // writes it.
    enum class Condition { ifMatch, ifNoneMatch, ifModifiedSince, ifUnmodifiedSince };
    void setCondition(Condition condition, const std::string& value);

    // From the answer: the version the service named (x-amz-version-id), as an upload or copy
    // made it, a get or head read it, or a delete made or removed it; empty without versioning.
    std::string resultVersionId() const;
    // Whether a delete made, or removed, a delete marker (x-amz-delete-marker: true).
    bool deleteMarker() const;

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
    void setReader(Reader reader);
    bool uploads() const;
    bool refuseUnless(bool takes, std::string_view option);
    void setMetadataHeaders(const StringMap& meta);

    Operation operation_ = Operation::get;
    OptionalString versionId_;
    std::string uploadId_;
    std::optional<std::int32_t> maxResultCount_, partNumberMarker_;
    std::optional<std::string> accessPolicy_;
    std::optional<std::pair<std::string, std::string>> copySource_;  // bucket, key
    Reader reader_;
    std::optional<std::string> sourceVersionId_;
    std::vector<std::pair<std::string, std::string>> keptGrants_;  // sent with a setMeta copy

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
