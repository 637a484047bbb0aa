#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "quilo/AccessPolicy.hpp"
#include "quilo/Arguments.hpp"
#include "quilo/Callbacks.hpp"
#include "quilo/Completion.hpp"
#include "quilo/TypedRequests.hpp"
#include "quilo/Value.hpp"
#include "quilo/requestlib/base/Export.hpp"

// quilo: the client Quilo, the callables and values of its operations, and the request library
// under it, whose requests those callables receive.
namespace quilo {

// The client. Set the credentials once, process-wide, then call operations on the shared
// instance:
//
//     quilo::Quilo::GlobalConfig("AKIA...", "secret");
//     quilo::Quilo::sharedInstance()->listBuckets({.finished = [](const auto& request) {
//         for (const auto& bucket : request->buckets()) std::cout << bucket.name << '\n';
//     }});
//
// Every operation returns at once; its outcome reaches the callables (see Callbacks), or comes
// back through a completion token (see Completion.hpp) instead:
//
//     auto buckets = client.listBuckets(quilo::use_future).get();
//     auto upload = co_await client.uploadObject(quilo::UploadObjectArgs{...},
//     quilo::use_awaitable);
//
// Each operation also takes its typed aggregate (Arguments.hpp) in place of its map. A request
// that cannot be sent as asked (a missing or mistyped parameter, a configuration value of the
// wrong type) is never sent: its failed callable receives it with a misuse or configuration
// error, on the library's thread, like any other failure. Nothing here throws or prints.
//
// Configuration keys: "accessKey" (string), "secretKey" (string), "sessionToken" (string: the
// token of temporary credentials), "useSSL" (bool, HTTPS when true),
// "maxConcurrentOperationCount" (int32 or int64: the process-wide limit on requests running at
// once, set again by every configured request). A request uses its client's own config() when
// present, else the shared instance's globleConfig(), as a whole. The maps carry no lock: change
// them only while no other thread starts operations.
class QUILO_EXPORT Quilo {
  public:
    // With an access key or a secret key (either suffices), the instance gets a config() of its
    // own holding all four arguments; with neither, config() stays absent and the requests use
    // the process-wide globleConfig().
    explicit Quilo(std::optional<std::string> accessKey = std::nullopt,
                   std::optional<std::string> secretKey = std::nullopt,
                   std::optional<bool> useSSL = false,
                   std::optional<std::int64_t> maxConcurrentOperationCount = 3);
    virtual ~Quilo();
    Quilo(const Quilo&) = delete;
    Quilo& operator=(const Quilo&) = delete;

    // The process-wide client, created on first use from any thread.
    static std::shared_ptr<Quilo> sharedInstance();
    // Writes all four keys into the shared instance's globleConfig(), omitted ones with their
    // defaults, leaving its other keys as they are: a "sessionToken" put there stays until
    // removed.
    static void GlobalConfig(std::optional<std::string> accessKey = std::nullopt,
                             std::optional<std::string> secretKey = std::nullopt,
                             std::optional<bool> useSSL = false,
                             std::optional<std::int64_t> maxConcurrentOperationCount = 3);

    // This client's own configuration, and the process-wide one (used by the shared instance
    // and by every client without a config() of its own).
    std::optional<ValueMap>& config() { return config_; }
    const std::optional<ValueMap>& config() const { return config_; }
    std::optional<ValueMap>& globleConfig() { return globleConfig_; }
    const std::optional<ValueMap>& globleConfig() const { return globleConfig_; }

    // Applies the active configuration to a request that has not been started.
    virtual void configureRequest(const std::shared_ptr<S3Request>& request);

    // The buckets of the caller: buckets() and owner() on the request.
    virtual void listBuckets(Callbacks<QuiloServiceRequest> callbacks = {});
    // Creates a bucket, or deletes one, which must be empty.
    virtual void createBucket(const std::string& bucket,
                              Callbacks<QuiloBucketRequest> callbacks = {});
    virtual void deleteBucket(const std::string& bucket,
                              Callbacks<QuiloBucketRequest> callbacks = {});
    // accessControlPolicy() on the request.
    virtual void getBucketAcl(const std::string& bucket,
                              Callbacks<QuiloBucketRequest> callbacks = {});
    // param: "acl" (AclMap), "bucket" (string); all required.
    virtual void setBucketAcl(const ValueMap& param, Callbacks<QuiloBucketRequest> callbacks = {});
    // responseHeaders() and metadata() on the request.
    virtual void getBucketMeta(const std::string& bucket,
                               Callbacks<QuiloBucketRequest> callbacks = {});
    // param: "bucket" (string), "maxKeys" (int32), "prefix", "delimiter", "marker" (strings);
    // all required. objects(), commonPrefixes(), isTruncated(), nextMarker() on the request.
    virtual void listObjects(const ValueMap& param, Callbacks<QuiloBucketRequest> callbacks = {});
    // param: "bucket" (string), "keys" (StringList of 1 to 1000 keys); all required. One request
    // deletes them all; it finishes when the service answers, and the keys it could not delete
    // are in deleteFailures() on the request.
    virtual void deleteObjects(const ValueMap& param, Callbacks<QuiloBucketRequest> callbacks = {});

    // The listings below take "bucket" (string, required) and any of "prefix", "delimiter"
    // (strings) and "maxKeys" (int32); a key left out, or held without a value, asks for
    // nothing. The names come back decoded, and a page ends where isTruncated() says so.
    //
    // ListObjectsV2. param: also "startAfter", "continuationToken" (strings: the latter from
    // the previous page's nextContinuationToken()), "fetchOwner" (bool), "listedUpTo" (string,
    // not sent: the previous page's last key or common prefix). objects(), commonPrefixes(),
    // isTruncated(), nextContinuationToken() on the request.
    //
    // A page that does not go on past where it was asked from (its marker, or listedUpTo
    // after a token), or is truncated and names nothing further, fails as a malformed
    // response: walked on, such a server would be asked for ever. An empty truncated
    // ListObjectsV2 page goes on if its token is not the one it was asked with.
    virtual void listObjectsV2(const ValueMap& param, Callbacks<QuiloBucketRequest> callbacks = {});
    // Every version and delete marker. param: also "keyMarker", "versionIdMarker" (strings: the
    // previous page's nextMarker() and nextVersionIdMarker()). versions(), commonPrefixes(),
    // isTruncated(), nextMarker(), nextVersionIdMarker() on the request.
    virtual void listObjectVersions(const ValueMap& param,
                                    Callbacks<QuiloBucketRequest> callbacks = {});
    // The multipart uploads in progress. param: also "keyMarker", "uploadIdMarker" (strings),
    // "maxUploads" (int32) in place of "maxKeys". uploads(), commonPrefixes(), isTruncated(),
    // nextMarker(), nextUploadIdMarker() on the request.
    virtual void listMultipartUploads(const ValueMap& param,
                                      Callbacks<QuiloBucketRequest> callbacks = {});

    // A bucket whose object versions can be locked (retention, legal hold); it keeps versions
    // for good.
    virtual void createBucketWithObjectLock(const std::string& bucket,
                                            Callbacks<QuiloBucketRequest> callbacks = {});
    // versioningStatus() on the request: "Enabled", "Suspended", or "" if never turned on.
    virtual void getBucketVersioning(const std::string& bucket,
                                     Callbacks<QuiloBucketRequest> callbacks = {});
    // param: "bucket", "status" ("Enabled" or "Suspended"); all required.
    virtual void setBucketVersioning(const ValueMap& param,
                                     Callbacks<QuiloBucketRequest> callbacks = {});
    // tags() on the request. A bucket without tags fails with the service's NoSuchTagSet.
    virtual void getBucketTagging(const std::string& bucket,
                                  Callbacks<QuiloBucketRequest> callbacks = {});
    // param: "bucket" (string), "tags" (StringMap, at most 50); all required. Replaces the tags.
    virtual void setBucketTagging(const ValueMap& param,
                                  Callbacks<QuiloBucketRequest> callbacks = {});
    virtual void deleteBucketTagging(const std::string& bucket,
                                     Callbacks<QuiloBucketRequest> callbacks = {});
    // policy() on the request: the JSON document as the service keeps it.
    virtual void getBucketPolicy(const std::string& bucket,
                                 Callbacks<QuiloBucketRequest> callbacks = {});
    // param: "bucket", "policy" (strings: the JSON document, sent as it is); all required.
    virtual void setBucketPolicy(const ValueMap& param,
                                 Callbacks<QuiloBucketRequest> callbacks = {});
    virtual void deleteBucketPolicy(const std::string& bucket,
                                    Callbacks<QuiloBucketRequest> callbacks = {});
    // lifecycle() on the request.
    virtual void getBucketLifecycle(const std::string& bucket,
                                    Callbacks<QuiloBucketRequest> callbacks = {});
    // param: "bucket" (string), "lifecycle" (S3LifecycleConfiguration); all required.
    virtual void setBucketLifecycle(const ValueMap& param,
                                    Callbacks<QuiloBucketRequest> callbacks = {});
    virtual void deleteBucketLifecycle(const std::string& bucket,
                                       Callbacks<QuiloBucketRequest> callbacks = {});
    // cors() on the request.
    virtual void getBucketCors(const std::string& bucket,
                               Callbacks<QuiloBucketRequest> callbacks = {});
    // param: "bucket" (string), "cors" (S3CorsConfiguration); all required.
    virtual void setBucketCors(const ValueMap& param, Callbacks<QuiloBucketRequest> callbacks = {});
    virtual void deleteBucketCors(const std::string& bucket,
                                  Callbacks<QuiloBucketRequest> callbacks = {});
    // objectLock() on the request: the default retention of a bucket with object lock.
    virtual void getBucketObjectLock(const std::string& bucket,
                                     Callbacks<QuiloBucketRequest> callbacks = {});
    // param: "bucket" (string, required); "mode" ("GOVERNANCE" or "COMPLIANCE") with one of
    // "days" and "years" (int32) for a default retention, or none of the three for none.
    virtual void setBucketObjectLock(const ValueMap& param,
                                     Callbacks<QuiloBucketRequest> callbacks = {});

    // The uploads and copyObject take these object options, each an optional string key:
    // "contentType", "cacheControl", "contentDisposition", "contentEncoding",
    // "contentLanguage", "expires" (a time as HTTP or ISO 8601 writes it), user metadata as
    // "x-amz-meta-<name>", "storageClass", "tagging" (a URL query, "a=1&b=two%20words"),
    // "serverSideEncryption" ("AES256" or "aws:kms"), "sseKmsKeyId" and "sseCustomerKey" (the
    // SSE-C key, 256 bits in base64). See S3ObjectRequest::setObjectHeaders and the setters
    // after it. resultVersionId() on the request names the version an upload made.
    //
    // param: "filePath", "bucket", "key", "accessPolicy" (see AccessPolicy), "followsSymlinks"
    // ("true", the default, or "false": see HTTPRequest::setFollowsSymlinks), "resumeJournal"
    // (see HTTPRequest::setResumeJournal), object options.
    virtual void uploadObject(const StringMap& param,
                              TransferCallbacks<QuiloObjectRquest> callbacks = {});
    // Uploads bytes in memory, with the keys of uploadObject but "filePath" and "resumeJournal"
    // (a later run could not tell its bytes are the same): `data` handed over, or, as a span,
    // bytes the caller keeps in place, unchanged, until the request has ended.
    virtual void uploadData(const StringMap& param, std::string data,
                            TransferCallbacks<QuiloObjectRquest> callbacks = {});
    virtual void uploadData(const StringMap& param, std::span<const std::byte> data,
                            TransferCallbacks<QuiloObjectRquest> callbacks = {});
    // Uploads a stream of unknown length, with the keys of uploadObject but "filePath" and
    // "resumeJournal": `reader` is called off the network thread for one part's bytes after
    // another (see S3ObjectRequest::Reader and PUTRequestForStream). A stream that ends within
    // one part goes in one PUT; the progress total is 0 until the stream has ended.
    virtual void uploadStream(const StringMap& param, S3ObjectRequest::Reader reader,
                              TransferCallbacks<QuiloObjectRquest> callbacks = {});
    // downloadObject and getObjectMeta take these read options, each an optional string key:
    // "versionId", "ifMatch", "ifNoneMatch" (entity tags), "ifModifiedSince",
    // "ifUnmodifiedSince" (times as HTTP or ISO 8601 writes them) and "sseCustomerKey". An
    // object that fails a condition fails the request with the code "NotModified" (HTTP 304) or
    // "PreconditionFailed" (HTTP 412).
    //
    // param: "bucket", "key", "downloadDestinationPath" (without it the bytes are kept in
    // responseData()), "range" ("bytes=0-99", "bytes=100-", "bytes=-100": see
    // HTTPRequest::setRange), "followsSymlinks", "resumeJournal" (see
    // HTTPRequest::setResumeJournal), read options.
    virtual void downloadObject(const StringMap& param,
                                TransferCallbacks<QuiloObjectRquest> callbacks = {});
    // param: "srcBucket", "srcKey", "desBucket", "desKey", "srcVersionId" (the source's
    // version), "metadataDirective" ("COPY" or "REPLACE"), "accessPolicy", object options.
    virtual void copyObject(const StringMap& param, Callbacks<QuiloObjectRquest> callbacks = {});
    // param: "bucket", "key", "versionId". Without a version id, in a bucket that keeps
    // versions, it makes a delete marker: deleteMarker() and resultVersionId() on the request.
    virtual void deleteObject(const StringMap& param, Callbacks<QuiloObjectRquest> callbacks = {});
    // param: "bucket", "key". accessControlPolicy() on the request.
    virtual void getObjectAcl(const StringMap& param, Callbacks<QuiloObjectRquest> callbacks = {});
    // param: "acl" (AclMap), "bucket", "key" (strings); all required.
    virtual void setObjectAcl(const ValueMap& param, Callbacks<QuiloObjectRquest> callbacks = {});
    // param: "bucket", "key", read options. metadata() and responseHeaders() on the request.
    virtual void getObjectMeta(const StringMap& param, Callbacks<QuiloObjectRquest> callbacks = {});
    // param: "meta" (StringMap), "bucket", "key" (strings); all required. Replaces the metadata.
    virtual void setObjectMeta(const ValueMap& param, Callbacks<QuiloObjectRquest> callbacks = {});

    // The operations on an object's tags, retention and legal hold address its latest version,
    // or the one "versionId" names.
    // param: "bucket", "key", "versionId". tags() on the request.
    virtual void getObjectTagging(const StringMap& param,
                                  Callbacks<QuiloObjectRquest> callbacks = {});
    // param: "bucket", "key" (strings), "tags" (StringMap, at most 10); all required;
    // "versionId" (string). Replaces the tags.
    virtual void setObjectTagging(const ValueMap& param,
                                  Callbacks<QuiloObjectRquest> callbacks = {});
    // param: "bucket", "key", "versionId".
    virtual void deleteObjectTagging(const StringMap& param,
                                     Callbacks<QuiloObjectRquest> callbacks = {});
    // param: "bucket", "key", "versionId". retention() on the request.
    virtual void getObjectRetention(const StringMap& param,
                                    Callbacks<QuiloObjectRquest> callbacks = {});
    // param: "bucket", "key", "mode" ("GOVERNANCE" or "COMPLIANCE"), "retainUntilDate" (like
    // "2030-01-01T00:00:00Z"); all required strings. "versionId" (string) and
    // "bypassGovernanceRetention" (bool: shorten or lift a GOVERNANCE retention) may be given.
    virtual void setObjectRetention(const ValueMap& param,
                                    Callbacks<QuiloObjectRquest> callbacks = {});
    // param: "bucket", "key", "versionId". legalHold() on the request.
    virtual void getObjectLegalHold(const StringMap& param,
                                    Callbacks<QuiloObjectRquest> callbacks = {});
    // param: "bucket", "key" (strings), "legalHold" (bool); all required; "versionId" (string).
    virtual void setObjectLegalHold(const ValueMap& param,
                                    Callbacks<QuiloObjectRquest> callbacks = {});
    // The parts of a multipart upload in progress. param: "bucket", "key", "uploadId" (strings,
    // required), "maxParts", "partNumberMarker" (int32: the previous page's
    // nextPartNumberMarker()). parts(), isTruncated(), nextPartNumberMarker() on the request.
    virtual void listParts(const ValueMap& param, Callbacks<QuiloObjectRquest> callbacks = {});
    // Aborts an upload in progress and drops its parts. param: "bucket", "key", "uploadId".
    virtual void abortMultipartUpload(const StringMap& param,
                                      Callbacks<QuiloObjectRquest> callbacks = {});

    // The typed and token forms, one template per operation: the leading argument is the map
    // (or bucket name) or the operation's aggregate, the last the callables or a token; with a
    // token the result is a std::future or an Awaitable of the typed request. Every form goes
    // through the virtual function above. To add an operation, add one like these.
    template <detail::Token How>
    auto listBuckets(How how) {
        return form<ListBucketsArgs>(how, [this](auto set) { this->listBuckets(std::move(set)); });
    }
    template <class A = std::string, class How = BucketArgs::Set>
    requires detail::FormFor<A, How, CreateBucketArgs>
    auto createBucket(const A& bucket, How how = {}) {
        return form<CreateBucketArgs>(bucket, how,
                                      [this](auto&&... a) { this->createBucket(a...); });
    }
    template <class A = std::string, class How = BucketArgs::Set>
    requires detail::FormFor<A, How, DeleteBucketArgs>
    auto deleteBucket(const A& bucket, How how = {}) {
        return form<DeleteBucketArgs>(bucket, how,
                                      [this](auto&&... a) { this->deleteBucket(a...); });
    }
    template <class A = std::string, class How = BucketArgs::Set>
    requires detail::FormFor<A, How, GetBucketAclArgs>
    auto getBucketAcl(const A& bucket, How how = {}) {
        return form<GetBucketAclArgs>(bucket, how,
                                      [this](auto&&... a) { this->getBucketAcl(a...); });
    }
    template <class A = ValueMap, class How = SetBucketAclArgs::Set>
    requires detail::FormFor<A, How, SetBucketAclArgs>
    auto setBucketAcl(const A& param, How how = {}) {
        return form<SetBucketAclArgs>(param, how,
                                      [this](auto&&... a) { this->setBucketAcl(a...); });
    }
    template <class A = std::string, class How = BucketArgs::Set>
    requires detail::FormFor<A, How, GetBucketMetaArgs>
    auto getBucketMeta(const A& bucket, How how = {}) {
        return form<GetBucketMetaArgs>(bucket, how,
                                       [this](auto&&... a) { this->getBucketMeta(a...); });
    }
    template <class A = ValueMap, class How = ListObjectsArgs::Set>
    requires detail::FormFor<A, How, ListObjectsArgs>
    auto listObjects(const A& param, How how = {}) {
        return form<ListObjectsArgs>(param, how, [this](auto&&... a) { this->listObjects(a...); });
    }
    template <class A = ValueMap, class How = DeleteObjectsArgs::Set>
    requires detail::FormFor<A, How, DeleteObjectsArgs>
    auto deleteObjects(const A& param, How how = {}) {
        return form<DeleteObjectsArgs>(param, how,
                                       [this](auto&&... a) { this->deleteObjects(a...); });
    }
    template <class A = StringMap, class How = UploadObjectArgs::Set>
    requires detail::FormFor<A, How, UploadObjectArgs>
    auto uploadObject(const A& param, How how = {}) {
        return form<UploadObjectArgs>(param, how,
                                      [this](auto&&... a) { this->uploadObject(a...); });
    }
    template <class A = StringMap, class How = UploadArgs::Set>
    requires detail::FormFor<A, How, UploadDataArgs>
    auto uploadData(const A& param, std::string data, How how = {}) {
        return form<UploadDataArgs>(param, how, [this, &data](auto&& map, auto&& set) {
            this->uploadData(map, std::move(data), set);
        });
    }
    template <class A = StringMap, class How = UploadArgs::Set>
    requires detail::FormFor<A, How, UploadDataArgs>
    auto uploadData(const A& param, std::span<const std::byte> data, How how = {}) {
        return form<UploadDataArgs>(
            param, how, [this, data](auto&& map, auto&& set) { this->uploadData(map, data, set); });
    }
    template <class A = StringMap, class How = UploadArgs::Set>
    requires detail::FormFor<A, How, UploadStreamArgs>
    auto uploadStream(const A& param, S3ObjectRequest::Reader reader, How how = {}) {
        return form<UploadStreamArgs>(param, how, [this, &reader](auto&& map, auto&& set) {
            this->uploadStream(map, std::move(reader), set);
        });
    }
    template <class A = StringMap, class How = DownloadObjectArgs::Set>
    requires detail::FormFor<A, How, DownloadObjectArgs>
    auto downloadObject(const A& param, How how = {}) {
        return form<DownloadObjectArgs>(param, how,
                                        [this](auto&&... a) { this->downloadObject(a...); });
    }
    template <class A = StringMap, class How = CopyObjectArgs::Set>
    requires detail::FormFor<A, How, CopyObjectArgs>
    auto copyObject(const A& param, How how = {}) {
        return form<CopyObjectArgs>(param, how, [this](auto&&... a) { this->copyObject(a...); });
    }
    template <class A = StringMap, class How = ObjectArgs::Set>
    requires detail::FormFor<A, How, DeleteObjectArgs>
    auto deleteObject(const A& param, How how = {}) {
        return form<DeleteObjectArgs>(param, how,
                                      [this](auto&&... a) { this->deleteObject(a...); });
    }
    template <class A = StringMap, class How = ObjectArgs::Set>
    requires detail::FormFor<A, How, GetObjectAclArgs>
    auto getObjectAcl(const A& param, How how = {}) {
        return form<GetObjectAclArgs>(param, how,
                                      [this](auto&&... a) { this->getObjectAcl(a...); });
    }
    template <class A = ValueMap, class How = SetObjectAclArgs::Set>
    requires detail::FormFor<A, How, SetObjectAclArgs>
    auto setObjectAcl(const A& param, How how = {}) {
        return form<SetObjectAclArgs>(param, how,
                                      [this](auto&&... a) { this->setObjectAcl(a...); });
    }
    template <class A = StringMap, class How = ObjectArgs::Set>
    requires detail::FormFor<A, How, GetObjectMetaArgs>
    auto getObjectMeta(const A& param, How how = {}) {
        return form<GetObjectMetaArgs>(param, how,
                                       [this](auto&&... a) { this->getObjectMeta(a...); });
    }
    template <class A = ValueMap, class How = SetObjectMetaArgs::Set>
    requires detail::FormFor<A, How, SetObjectMetaArgs>
    auto setObjectMeta(const A& param, How how = {}) {
        return form<SetObjectMetaArgs>(param, how,
                                       [this](auto&&... a) { this->setObjectMeta(a...); });
    }
    template <class A = std::string, class How = BucketArgs::Set>
    requires detail::FormFor<A, How, CreateBucketWithObjectLockArgs>
    auto createBucketWithObjectLock(const A& bucket, How how = {}) {
        return form<CreateBucketWithObjectLockArgs>(
            bucket, how, [this](auto&&... a) { this->createBucketWithObjectLock(a...); });
    }
    template <class A = std::string, class How = BucketArgs::Set>
    requires detail::FormFor<A, How, GetBucketVersioningArgs>
    auto getBucketVersioning(const A& bucket, How how = {}) {
        return form<GetBucketVersioningArgs>(
            bucket, how, [this](auto&&... a) { this->getBucketVersioning(a...); });
    }
    template <class A = ValueMap, class How = SetBucketVersioningArgs::Set>
    requires detail::FormFor<A, How, SetBucketVersioningArgs>
    auto setBucketVersioning(const A& param, How how = {}) {
        return form<SetBucketVersioningArgs>(
            param, how, [this](auto&&... a) { this->setBucketVersioning(a...); });
    }
    template <class A = std::string, class How = BucketArgs::Set>
    requires detail::FormFor<A, How, GetBucketTaggingArgs>
    auto getBucketTagging(const A& bucket, How how = {}) {
        return form<GetBucketTaggingArgs>(bucket, how,
                                          [this](auto&&... a) { this->getBucketTagging(a...); });
    }
    template <class A = ValueMap, class How = SetBucketTaggingArgs::Set>
    requires detail::FormFor<A, How, SetBucketTaggingArgs>
    auto setBucketTagging(const A& param, How how = {}) {
        return form<SetBucketTaggingArgs>(param, how,
                                          [this](auto&&... a) { this->setBucketTagging(a...); });
    }
    template <class A = std::string, class How = BucketArgs::Set>
    requires detail::FormFor<A, How, DeleteBucketTaggingArgs>
    auto deleteBucketTagging(const A& bucket, How how = {}) {
        return form<DeleteBucketTaggingArgs>(
            bucket, how, [this](auto&&... a) { this->deleteBucketTagging(a...); });
    }
    template <class A = std::string, class How = BucketArgs::Set>
    requires detail::FormFor<A, How, GetBucketPolicyArgs>
    auto getBucketPolicy(const A& bucket, How how = {}) {
        return form<GetBucketPolicyArgs>(bucket, how,
                                         [this](auto&&... a) { this->getBucketPolicy(a...); });
    }
    template <class A = ValueMap, class How = SetBucketPolicyArgs::Set>
    requires detail::FormFor<A, How, SetBucketPolicyArgs>
    auto setBucketPolicy(const A& param, How how = {}) {
        return form<SetBucketPolicyArgs>(param, how,
                                         [this](auto&&... a) { this->setBucketPolicy(a...); });
    }
    template <class A = std::string, class How = BucketArgs::Set>
    requires detail::FormFor<A, How, DeleteBucketPolicyArgs>
    auto deleteBucketPolicy(const A& bucket, How how = {}) {
        return form<DeleteBucketPolicyArgs>(
            bucket, how, [this](auto&&... a) { this->deleteBucketPolicy(a...); });
    }
    template <class A = std::string, class How = BucketArgs::Set>
    requires detail::FormFor<A, How, GetBucketLifecycleArgs>
    auto getBucketLifecycle(const A& bucket, How how = {}) {
        return form<GetBucketLifecycleArgs>(
            bucket, how, [this](auto&&... a) { this->getBucketLifecycle(a...); });
    }
    template <class A = ValueMap, class How = SetBucketLifecycleArgs::Set>
    requires detail::FormFor<A, How, SetBucketLifecycleArgs>
    auto setBucketLifecycle(const A& param, How how = {}) {
        return form<SetBucketLifecycleArgs>(
            param, how, [this](auto&&... a) { this->setBucketLifecycle(a...); });
    }
    template <class A = std::string, class How = BucketArgs::Set>
    requires detail::FormFor<A, How, DeleteBucketLifecycleArgs>
    auto deleteBucketLifecycle(const A& bucket, How how = {}) {
        return form<DeleteBucketLifecycleArgs>(
            bucket, how, [this](auto&&... a) { this->deleteBucketLifecycle(a...); });
    }
    template <class A = std::string, class How = BucketArgs::Set>
    requires detail::FormFor<A, How, GetBucketCorsArgs>
    auto getBucketCors(const A& bucket, How how = {}) {
        return form<GetBucketCorsArgs>(bucket, how,
                                       [this](auto&&... a) { this->getBucketCors(a...); });
    }
    template <class A = ValueMap, class How = SetBucketCorsArgs::Set>
    requires detail::FormFor<A, How, SetBucketCorsArgs>
    auto setBucketCors(const A& param, How how = {}) {
        return form<SetBucketCorsArgs>(param, how,
                                       [this](auto&&... a) { this->setBucketCors(a...); });
    }
    template <class A = std::string, class How = BucketArgs::Set>
    requires detail::FormFor<A, How, DeleteBucketCorsArgs>
    auto deleteBucketCors(const A& bucket, How how = {}) {
        return form<DeleteBucketCorsArgs>(bucket, how,
                                          [this](auto&&... a) { this->deleteBucketCors(a...); });
    }
    template <class A = std::string, class How = BucketArgs::Set>
    requires detail::FormFor<A, How, GetBucketObjectLockArgs>
    auto getBucketObjectLock(const A& bucket, How how = {}) {
        return form<GetBucketObjectLockArgs>(
            bucket, how, [this](auto&&... a) { this->getBucketObjectLock(a...); });
    }
    template <class A = ValueMap, class How = SetBucketObjectLockArgs::Set>
    requires detail::FormFor<A, How, SetBucketObjectLockArgs>
    auto setBucketObjectLock(const A& param, How how = {}) {
        return form<SetBucketObjectLockArgs>(
            param, how, [this](auto&&... a) { this->setBucketObjectLock(a...); });
    }
    template <class A = ValueMap, class How = ListObjectsV2Args::Set>
    requires detail::FormFor<A, How, ListObjectsV2Args>
    auto listObjectsV2(const A& param, How how = {}) {
        return form<ListObjectsV2Args>(param, how,
                                       [this](auto&&... a) { this->listObjectsV2(a...); });
    }
    template <class A = ValueMap, class How = ListObjectVersionsArgs::Set>
    requires detail::FormFor<A, How, ListObjectVersionsArgs>
    auto listObjectVersions(const A& param, How how = {}) {
        return form<ListObjectVersionsArgs>(
            param, how, [this](auto&&... a) { this->listObjectVersions(a...); });
    }
    template <class A = ValueMap, class How = ListMultipartUploadsArgs::Set>
    requires detail::FormFor<A, How, ListMultipartUploadsArgs>
    auto listMultipartUploads(const A& param, How how = {}) {
        return form<ListMultipartUploadsArgs>(
            param, how, [this](auto&&... a) { this->listMultipartUploads(a...); });
    }
    template <class A = StringMap, class How = VersionArgs::Set>
    requires detail::FormFor<A, How, GetObjectTaggingArgs>
    auto getObjectTagging(const A& param, How how = {}) {
        return form<GetObjectTaggingArgs>(param, how,
                                          [this](auto&&... a) { this->getObjectTagging(a...); });
    }
    template <class A = ValueMap, class How = SetObjectTaggingArgs::Set>
    requires detail::FormFor<A, How, SetObjectTaggingArgs>
    auto setObjectTagging(const A& param, How how = {}) {
        return form<SetObjectTaggingArgs>(param, how,
                                          [this](auto&&... a) { this->setObjectTagging(a...); });
    }
    template <class A = StringMap, class How = VersionArgs::Set>
    requires detail::FormFor<A, How, DeleteObjectTaggingArgs>
    auto deleteObjectTagging(const A& param, How how = {}) {
        return form<DeleteObjectTaggingArgs>(
            param, how, [this](auto&&... a) { this->deleteObjectTagging(a...); });
    }
    template <class A = StringMap, class How = VersionArgs::Set>
    requires detail::FormFor<A, How, GetObjectRetentionArgs>
    auto getObjectRetention(const A& param, How how = {}) {
        return form<GetObjectRetentionArgs>(
            param, how, [this](auto&&... a) { this->getObjectRetention(a...); });
    }
    template <class A = ValueMap, class How = SetObjectRetentionArgs::Set>
    requires detail::FormFor<A, How, SetObjectRetentionArgs>
    auto setObjectRetention(const A& param, How how = {}) {
        return form<SetObjectRetentionArgs>(
            param, how, [this](auto&&... a) { this->setObjectRetention(a...); });
    }
    template <class A = StringMap, class How = VersionArgs::Set>
    requires detail::FormFor<A, How, GetObjectLegalHoldArgs>
    auto getObjectLegalHold(const A& param, How how = {}) {
        return form<GetObjectLegalHoldArgs>(
            param, how, [this](auto&&... a) { this->getObjectLegalHold(a...); });
    }
    template <class A = ValueMap, class How = SetObjectLegalHoldArgs::Set>
    requires detail::FormFor<A, How, SetObjectLegalHoldArgs>
    auto setObjectLegalHold(const A& param, How how = {}) {
        return form<SetObjectLegalHoldArgs>(
            param, how, [this](auto&&... a) { this->setObjectLegalHold(a...); });
    }
    template <class A = ValueMap, class How = ListPartsArgs::Set>
    requires detail::FormFor<A, How, ListPartsArgs>
    auto listParts(const A& param, How how = {}) {
        return form<ListPartsArgs>(param, how, [this](auto&&... a) { this->listParts(a...); });
    }
    template <class A = StringMap, class How = AbortMultipartUploadArgs::Set>
    requires detail::FormFor<A, How, AbortMultipartUploadArgs>
    auto abortMultipartUpload(const A& param, How how = {}) {
        return form<AbortMultipartUploadArgs>(
            param, how, [this](auto&&... a) { this->abortMultipartUpload(a...); });
    }

    // A URL through which anyone may make one request on an object until it expires, without
    // keys. param: "bucket", "key" (required), "method" (GET, the default, PUT, HEAD or DELETE),
    // "expiresSeconds" (1 to 604800 in decimal, default 3600). Signed with the active
    // configuration's keys and token for the process-wide host, region (the bucket's, once a
    // service has named it) and addressing style, over HTTPS when "useSSL" is true. Nothing is
    // sent. nullopt for a missing key, another method or expiry, or no keys to sign with.
    virtual std::optional<std::string> presignedURL(const StringMap& param);
    // A form through which a browser uploads one file straight into a bucket until it expires,
    // without keys: post the fields in order, then the file as "file", to the URL. param:
    // "bucket", "key" (strings, required; a key ending in "${filename}" takes the name of the
    // user's file there); "expiresSeconds" (int32, 1 to 604800, default 3600); "fields"
    // (StringMap: more form fields, sent as they are, such as "Content-Type" or
    // "x-amz-meta-<name>"); "startsWith" (StringMap: fields the browser fills, whose values
    // must start so); "minContentLength" and "maxContentLength" (int64 or int32: the file's
    // size, both or neither). Signed as presignedURL is; nothing is sent. nullopt for a missing
    // or mistyped key, a field the form sets itself, or no keys to sign with.
    virtual std::optional<S3PostForm> presignedPost(const ValueMap& param);
    // presignedURL from its typed arguments.
    std::optional<std::string> presignedURL(const PresignedURLArgs& args) {
        return presignedURL(args.param());
    }
    // presignedPost from its typed arguments.
    std::optional<S3PostForm> presignedPost(const PresignedPostArgs& args) {
        return presignedPost(args.param());
    }

  private:
    // Hands `call` the leading argument as the map (or name) and the callables that `how` asks
    // for; returns what the token promises.
    template <class Args, class A, class How, class Call>
    static auto form(const A& argument, How& how, const Call& call) {
        return detail::complete<typename Args::Request, typename Args::Set>(
            std::move(how),
            [&](typename Args::Set set) { call(detail::leading<Args>(argument), std::move(set)); });
    }
    template <class Args, class How, class Call>
    static auto form(How& how, const Call& call) {
        return detail::complete<typename Args::Request, typename Args::Set>(std::move(how), call);
    }

    std::optional<ValueMap> config_;
    std::optional<ValueMap> globleConfig_ = ValueMap{};
};

}  // namespace quilo
