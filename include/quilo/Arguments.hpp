#pragma once

// Typed arguments: one aggregate per operation, beside the maps.
//
//     client.uploadObject(quilo::UploadObjectArgs{.filePath = "cat.jpg", .bucket = "photos",
//                                                 .key = "2024/cat.jpg"}, quilo::use_future);
//
// A Required member left out, or given a value of another type, does not compile; the others are
// std::optional. Designated initialisers must come in the order of the members. Each aggregate
// turns into its operation's map (param()), so that one path carries every request and every
// rule of the maps holds for both.
//
// To add an operation: its aggregate here, with param() in src/client/Arguments.cpp and `Param`,
// `Request` and `Set` naming its leading argument, typed request and callback set; then one
// template beside the others in Client.hpp.

#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "quilo/AccessPolicy.hpp"
#include "quilo/Callbacks.hpp"
#include "quilo/Completion.hpp"
#include "quilo/TypedRequests.hpp"
#include "quilo/Value.hpp"
#include "quilo/requestlib/base/Export.hpp"

namespace quilo {

// A member that an aggregate cannot be made without.
template <class T>
class Required {
  public:
    // From whatever converts to T: .bucket = "photos", .acl = AclMap{...}. A flag takes a bool
    // only, not a number or a pointer that would convert to one.
    template <std::convertible_to<T> U>
    requires(!std::same_as<T, bool> || std::same_as<std::remove_cvref_t<U>, bool>)
        Required(U&& value)
        : value_(std::forward<U>(value)) {}
    // Chosen only when the member is left out of the braces, to say so.
    template <bool leftOut = true>
    Required() {
        static_assert(!leftOut, "a Required argument of this operation is missing");
    }

    // The value.
    operator const T&() const noexcept { return value_; }
    const T& operator*() const noexcept { return value_; }
    const T* operator->() const noexcept { return &value_; }

  private:
    T value_;
};

// What the operations on one bucket take: createBucket, deleteBucket, getBucketAcl and
// getBucketMeta.
struct QUILO_EXPORT BucketArgs {
    // The map (or name) it turns into, its typed request and its callables.
    using Param = std::string;
    using Request = QuiloBucketRequest;
    using Set = Callbacks<Request>;

    // Its arguments, and the map they make.
    Required<std::string> bucket;
    Param param() const { return *bucket; }
};
using CreateBucketArgs = BucketArgs;   // createBucket
using DeleteBucketArgs = BucketArgs;   // deleteBucket
using GetBucketAclArgs = BucketArgs;   // getBucketAcl
using GetBucketMetaArgs = BucketArgs;  // getBucketMeta

// Replaces the bucket's access-control list with acl.
struct QUILO_EXPORT SetBucketAclArgs {
    // The map (or name) it turns into, its typed request and its callables.
    using Param = ValueMap;
    using Request = QuiloBucketRequest;
    using Set = Callbacks<Request>;

    // Its arguments, and the map they make.
    Required<std::string> bucket;
    Required<AclMap> acl;
    Param param() const;
};

// Left out, prefix, delimiter and marker ask for nothing, and maxKeys for 1000 (the most a
// service gives).
struct QUILO_EXPORT ListObjectsArgs {
    // The map (or name) it turns into, its typed request and its callables.
    using Param = ValueMap;
    using Request = QuiloBucketRequest;
    using Set = Callbacks<Request>;

    // Its arguments, and the map they make.
    Required<std::string> bucket;
    std::optional<std::string> prefix{};
    std::optional<std::string> delimiter{};
    std::optional<std::string> marker{};
    std::optional<std::int32_t> maxKeys{};
    Param param() const;
};

// Deletes the keys of bucket in one request.
struct QUILO_EXPORT DeleteObjectsArgs {
    // The map (or name) it turns into, its typed request and its callables.
    using Param = ValueMap;
    using Request = QuiloBucketRequest;
    using Set = Callbacks<Request>;

    // Its arguments, and the map they make.
    Required<std::string> bucket;
    Required<StringList> keys;
    Param param() const;
};

// The operations on one bucket's configurations, and createBucketWithObjectLock.
using CreateBucketWithObjectLockArgs = BucketArgs;  // createBucketWithObjectLock
using GetBucketVersioningArgs = BucketArgs;         // getBucketVersioning
using GetBucketTaggingArgs = BucketArgs;            // getBucketTagging
using DeleteBucketTaggingArgs = BucketArgs;         // deleteBucketTagging
using GetBucketPolicyArgs = BucketArgs;             // getBucketPolicy
using DeleteBucketPolicyArgs = BucketArgs;          // deleteBucketPolicy
using GetBucketLifecycleArgs = BucketArgs;          // getBucketLifecycle
using DeleteBucketLifecycleArgs = BucketArgs;       // deleteBucketLifecycle
using GetBucketCorsArgs = BucketArgs;               // getBucketCors
using DeleteBucketCorsArgs = BucketArgs;            // deleteBucketCors
using GetBucketObjectLockArgs = BucketArgs;         // getBucketObjectLock

// status: "Enabled" or "Suspended".
struct QUILO_EXPORT SetBucketVersioningArgs {
    // The map it turns into, its typed request and its callables.
    using Param = ValueMap;
    using Request = QuiloBucketRequest;
    using Set = Callbacks<Request>;

    // Its arguments, and the map they make.
    Required<std::string> bucket;
    Required<std::string> status;
    Param param() const;
};

// Replaces the bucket's tags with tags.
struct QUILO_EXPORT SetBucketTaggingArgs {
    // The map it turns into, its typed request and its callables.
    using Param = ValueMap;
    using Request = QuiloBucketRequest;
    using Set = Callbacks<Request>;

    // Its arguments, and the map they make.
    Required<std::string> bucket;
    Required<StringMap> tags;
    Param param() const;
};

// policy: the JSON document, sent as it is.
struct QUILO_EXPORT SetBucketPolicyArgs {
    // The map it turns into, its typed request and its callables.
    using Param = ValueMap;
    using Request = QuiloBucketRequest;
    using Set = Callbacks<Request>;

    // Its arguments, and the map they make.
    Required<std::string> bucket;
    Required<std::string> policy;
    Param param() const;
};

// Replaces the bucket's lifecycle rules with lifecycle.
struct QUILO_EXPORT SetBucketLifecycleArgs {
    // The map it turns into, its typed request and its callables.
    using Param = ValueMap;
    using Request = QuiloBucketRequest;
    using Set = Callbacks<Request>;

    // Its arguments, and the map they make.
    Required<std::string> bucket;
    Required<S3LifecycleConfiguration> lifecycle;
    Param param() const;
};

// Replaces the bucket's CORS rules with cors.
struct QUILO_EXPORT SetBucketCorsArgs {
    // The map it turns into, its typed request and its callables.
    using Param = ValueMap;
    using Request = QuiloBucketRequest;
    using Set = Callbacks<Request>;

    // Its arguments, and the map they make.
    Required<std::string> bucket;
    Required<S3CorsConfiguration> cors;
    Param param() const;
};

// mode ("GOVERNANCE" or "COMPLIANCE") with one of days and years sets a default retention;
// none of the three removes it.
struct QUILO_EXPORT SetBucketObjectLockArgs {
    // The map it turns into, its typed request and its callables.
    using Param = ValueMap;
    using Request = QuiloBucketRequest;
    using Set = Callbacks<Request>;

    // Its arguments, and the map they make.
    Required<std::string> bucket;
    std::optional<std::string> mode{};
    std::optional<std::int32_t> days{};
    std::optional<std::int32_t> years{};
    Param param() const;
};

// ListObjectsV2: what is left out asks for nothing. continuationToken is the previous page's
// nextContinuationToken(), and listedUpTo that page's last key or common prefix, which the page
// asked for must go on above (ObjectPagesV2 sets both).
struct QUILO_EXPORT ListObjectsV2Args {
    // The map it turns into, its typed request and its callables.
    using Param = ValueMap;
    using Request = QuiloBucketRequest;
    using Set = Callbacks<Request>;

    // Its arguments, and the map they make.
    Required<std::string> bucket;
    std::optional<std::string> prefix{};
    std::optional<std::string> delimiter{};
    std::optional<std::int32_t> maxKeys{};
    std::optional<std::string> startAfter{};
    std::optional<std::string> continuationToken{};
    std::optional<bool> fetchOwner{};
    std::optional<std::string> listedUpTo{};
    Param param() const;
};

// Every version and delete marker; what is left out asks for nothing.
struct QUILO_EXPORT ListObjectVersionsArgs {
    // The map it turns into, its typed request and its callables.
    using Param = ValueMap;
    using Request = QuiloBucketRequest;
    using Set = Callbacks<Request>;

    // Its arguments, and the map they make.
    Required<std::string> bucket;
    std::optional<std::string> prefix{};
    std::optional<std::string> delimiter{};
    std::optional<std::int32_t> maxKeys{};
    std::optional<std::string> keyMarker{};
    std::optional<std::string> versionIdMarker{};
    Param param() const;
};

// The multipart uploads in progress; what is left out asks for nothing.
struct QUILO_EXPORT ListMultipartUploadsArgs {
    // The map it turns into, its typed request and its callables.
    using Param = ValueMap;
    using Request = QuiloBucketRequest;
    using Set = Callbacks<Request>;

    // Its arguments, and the map they make.
    Required<std::string> bucket;
    std::optional<std::string> prefix{};
    std::optional<std::string> delimiter{};
    std::optional<std::int32_t> maxUploads{};
    std::optional<std::string> keyMarker{};
    std::optional<std::string> uploadIdMarker{};
    Param param() const;
};

// The options of an upload or a copy, each sent only when given: see Quilo::uploadObject.
struct QUILO_EXPORT ObjectOptions {
    // The new object's standard headers; expires is a time as HTTP or ISO 8601 writes it.
    std::optional<std::string> contentType{}, cacheControl{}, contentDisposition{},
        contentEncoding{}, contentLanguage{}, expires{};
    // User metadata by name, each sent as x-amz-meta-<name>.
    std::optional<StringMap> metadata{};
    // "STANDARD_IA", ...; tags as a URL query, "a=1&b=two%20words".
    std::optional<std::string> storageClass{}, tagging{};
    // "AES256" or "aws:kms", with the KMS key's id; or the caller's own key (SSE-C), in base64.
    std::optional<std::string> serverSideEncryption{}, sseKmsKeyId{}, sseCustomerKey{};
    // Adds the options given to an operation's map, under their keys.
    void addTo(StringMap& map) const;
};

// The options of a download or head, each sent only when given: see Quilo::downloadObject.
struct QUILO_EXPORT ReadOptions {
    // The version to read, rather than the latest.
    std::optional<std::string> versionId{};
    // Preconditions: entity tags, and times as HTTP or ISO 8601 writes them.
    std::optional<std::string> ifMatch{}, ifNoneMatch{}, ifModifiedSince{}, ifUnmodifiedSince{};
    // The caller's key of an SSE-C object, in base64.
    std::optional<std::string> sseCustomerKey{};
    // Adds the options given to an operation's map, under their keys.
    void addTo(StringMap& map) const;
};

// Left out, accessPolicy gives the service's default (private).
struct QUILO_EXPORT UploadObjectArgs {
    // The map (or name) it turns into, its typed request and its callables.
    using Param = StringMap;
    using Request = QuiloObjectRquest;
    using Set = TransferCallbacks<Request>;

    // Its arguments, and the map they make.
    Required<std::string> filePath;
    Required<std::string> bucket;
    Required<std::string> key;
    std::optional<AccessPolicy> accessPolicy{};
    ObjectOptions options{};
    std::optional<bool> followsSymlinks{};
    std::optional<std::string> resumeJournal{};  // see HTTPRequest::setResumeJournal
    Param param() const;
};

// uploadData and uploadStream: the bytes or the reader come beside it.
struct QUILO_EXPORT UploadArgs {
    // The map (or name) it turns into, its typed request and its callables.
    using Param = StringMap;
    using Request = QuiloObjectRquest;
    using Set = TransferCallbacks<Request>;

    // Its arguments, and the map they make.
    Required<std::string> bucket;
    Required<std::string> key;
    std::optional<AccessPolicy> accessPolicy{};
    ObjectOptions options{};
    Param param() const;
};
using UploadDataArgs = UploadArgs;    // uploadData
using UploadStreamArgs = UploadArgs;  // uploadStream

// Left out, downloadDestinationPath keeps the bytes in responseData().
struct QUILO_EXPORT DownloadObjectArgs {
    // The map (or name) it turns into, its typed request and its callables.
    using Param = StringMap;
    using Request = QuiloObjectRquest;
    using Set = TransferCallbacks<Request>;

    // Its arguments, and the map they make.
    Required<std::string> bucket;
    Required<std::string> key;
    std::optional<std::string> downloadDestinationPath{};
    std::optional<std::string> range{};  // "bytes=0-99", "bytes=100-", "bytes=-100"
    ReadOptions options{};
    std::optional<bool> followsSymlinks{};
    std::optional<std::string> resumeJournal{};  // see HTTPRequest::setResumeJournal
    Param param() const;
};

// Copies srcKey of srcBucket to desKey of desBucket.
struct QUILO_EXPORT CopyObjectArgs {
    // The map (or name) it turns into, its typed request and its callables.
    using Param = StringMap;
    using Request = QuiloObjectRquest;
    using Set = Callbacks<Request>;

    // Its arguments, and the map they make.
    Required<std::string> srcBucket;
    Required<std::string> srcKey;
    Required<std::string> desBucket;
    Required<std::string> desKey;
    std::optional<std::string> srcVersionId{};
    std::optional<std::string> metadataDirective{};  // "COPY" or "REPLACE"
    std::optional<AccessPolicy> accessPolicy{};
    ObjectOptions options{};
    Param param() const;
};

// What the operations on one object take: getObjectAcl, and getObjectMeta without options.
struct QUILO_EXPORT ObjectArgs {
    // The map (or name) it turns into, its typed request and its callables.
    using Param = StringMap;
    using Request = QuiloObjectRquest;
    using Set = Callbacks<Request>;

    // Its arguments, and the map they make.
    Required<std::string> bucket;
    Required<std::string> key;
    Param param() const;
};
using GetObjectAclArgs = ObjectArgs;  // getObjectAcl

// The object's metadata (HEAD), of the version and under the conditions the options give.
struct QUILO_EXPORT GetObjectMetaArgs {
    // The map (or name) it turns into, its typed request and its callables.
    using Param = StringMap;
    using Request = QuiloObjectRquest;
    using Set = Callbacks<Request>;

    // Its arguments, and the map they make.
    Required<std::string> bucket;
    Required<std::string> key;
    ReadOptions options{};
    Param param() const;
};

// Replaces the object's access-control list with acl.
struct QUILO_EXPORT SetObjectAclArgs {
    // The map (or name) it turns into, its typed request and its callables.
    using Param = ValueMap;
    using Request = QuiloObjectRquest;
    using Set = Callbacks<Request>;

    // Its arguments, and the map they make.
    Required<std::string> bucket;
    Required<std::string> key;
    Required<AclMap> acl;
    Param param() const;
};

// Replaces the object's metadata with meta.
struct QUILO_EXPORT SetObjectMetaArgs {
    // The map (or name) it turns into, its typed request and its callables.
    using Param = ValueMap;
    using Request = QuiloObjectRquest;
    using Set = Callbacks<Request>;

    // Its arguments, and the map they make.
    Required<std::string> bucket;
    Required<std::string> key;
    Required<StringMap> meta;
    Param param() const;
};

// What the operations on one version of an object take: getObjectTagging,
// deleteObjectTagging, getObjectRetention and getObjectLegalHold. Left out, versionId addresses
// the latest version.
struct QUILO_EXPORT VersionArgs {
    // The map it turns into, its typed request and its callables.
    using Param = StringMap;
    using Request = QuiloObjectRquest;
    using Set = Callbacks<Request>;

    // Its arguments, and the map they make.
    Required<std::string> bucket;
    Required<std::string> key;
    std::optional<std::string> versionId{};
    Param param() const;
};
using DeleteObjectArgs = VersionArgs;         // deleteObject
using GetObjectTaggingArgs = VersionArgs;     // getObjectTagging
using DeleteObjectTaggingArgs = VersionArgs;  // deleteObjectTagging
using GetObjectRetentionArgs = VersionArgs;   // getObjectRetention
using GetObjectLegalHoldArgs = VersionArgs;   // getObjectLegalHold

// Replaces the tags of the object's version with tags.
struct QUILO_EXPORT SetObjectTaggingArgs {
    // The map it turns into, its typed request and its callables.
    using Param = ValueMap;
    using Request = QuiloObjectRquest;
    using Set = Callbacks<Request>;

    // Its arguments, and the map they make.
    Required<std::string> bucket;
    Required<std::string> key;
    Required<StringMap> tags;
    std::optional<std::string> versionId{};
    Param param() const;
};

// mode: "GOVERNANCE" or "COMPLIANCE"; retainUntilDate like "2030-01-01T00:00:00Z".
struct QUILO_EXPORT SetObjectRetentionArgs {
    // The map it turns into, its typed request and its callables.
    using Param = ValueMap;
    using Request = QuiloObjectRquest;
    using Set = Callbacks<Request>;

    // Its arguments, and the map they make.
    Required<std::string> bucket;
    Required<std::string> key;
    Required<std::string> mode;
    Required<std::string> retainUntilDate;
    std::optional<std::string> versionId{};
    std::optional<bool> bypassGovernanceRetention{};
    Param param() const;
};

// Puts a legal hold on the object's version, or lifts it.
struct QUILO_EXPORT SetObjectLegalHoldArgs {
    // The map it turns into, its typed request and its callables.
    using Param = ValueMap;
    using Request = QuiloObjectRquest;
    using Set = Callbacks<Request>;

    // Its arguments, and the map they make.
    Required<std::string> bucket;
    Required<std::string> key;
    Required<bool> legalHold;
    std::optional<std::string> versionId{};
    Param param() const;
};

// partNumberMarker is the previous page's nextPartNumberMarker().
struct QUILO_EXPORT ListPartsArgs {
    // The map it turns into, its typed request and its callables.
    using Param = ValueMap;
    using Request = QuiloObjectRquest;
    using Set = Callbacks<Request>;

    // Its arguments, and the map they make.
    Required<std::string> bucket;
    Required<std::string> key;
    Required<std::string> uploadId;
    std::optional<std::int32_t> maxParts{};
    std::optional<std::int32_t> partNumberMarker{};
    Param param() const;
};

// Aborts the upload uploadId and drops its parts.
struct QUILO_EXPORT AbortMultipartUploadArgs {
    // The map it turns into, its typed request and its callables.
    using Param = StringMap;
    using Request = QuiloObjectRquest;
    using Set = Callbacks<Request>;

    // Its arguments, and the map they make.
    Required<std::string> bucket;
    Required<std::string> key;
    Required<std::string> uploadId;
    Param param() const;
};

// Left out, method is GET and expiresSeconds 3600.
struct QUILO_EXPORT PresignedURLArgs {
    // The map it turns into.
    using Param = StringMap;

    // Its arguments, and the map they make.
    Required<std::string> bucket;
    Required<std::string> key;
    std::optional<std::string> method{};
    std::optional<std::int32_t> expiresSeconds{};
    Param param() const;
};

// The fields of a browser's upload form; left out, expiresSeconds is 3600. minContentLength
// and maxContentLength come both or neither.
struct QUILO_EXPORT PresignedPostArgs {
    // The map it turns into.
    using Param = ValueMap;

    // Its arguments, and the map they make.
    Required<std::string> bucket;
    Required<std::string> key;
    std::optional<std::int32_t> expiresSeconds{};
    std::optional<StringMap> fields{};
    std::optional<StringMap> startsWith{};
    std::optional<std::int64_t> minContentLength{};
    std::optional<std::int64_t> maxContentLength{};
    Param param() const;
};

// listBuckets takes no argument; this only names its request and callables.
struct ListBucketsArgs {
    // Its typed request and its callables.
    using Request = QuiloServiceRequest;
    using Set = Callbacks<Request>;
};

namespace detail {

// An operation's leading argument: its Param (or what converts to it) or its aggregate.
template <class A, class Args>
concept LeadingFor = std::same_as<A, Args> || std::convertible_to<const A&, typename Args::Param>;

// The typed and token forms: everything but the callables' own form (Param and Set), which the
// operation's virtual function takes.
template <class A, class How, class Args>
concept FormFor = LeadingFor<A, Args> &&
    (Token<How> ||
     std::same_as<How, typename Args::Set>)&&!(std::same_as<A, typename Args::Param> &&
                                               std::same_as<How, typename Args::Set>);

template <class Args, class A>
decltype(auto) leading(const A& argument) {
    if constexpr (std::same_as<A, Args>) {
        return argument.param();
    } else if constexpr (std::same_as<A, typename Args::Param>) {
        return (argument);
    } else {
        return typename Args::Param(argument);
    }
}

}  // namespace detail
}  // namespace quilo
