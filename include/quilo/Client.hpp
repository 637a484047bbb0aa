#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "quilo/AccessPolicy.hpp"
#include "quilo/Callbacks.hpp"
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
// Every operation returns at once; its outcome reaches the callables (see Callbacks). A request
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
    // the previous page's nextContinuationToken()), "fetchOwner" (bool). objects(),
    // commonPrefixes(), isTruncated(), nextContinuationToken() on the request.
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
    // ("true", the default, or "false": see HTTPRequest::setFollowsSymlinks), object options.
    virtual void uploadObject(const StringMap& param,
                              TransferCallbacks<QuiloObjectRquest> callbacks = {});
    // Uploads bytes in memory, with the keys of uploadObject but "filePath": `data` handed over,
    // or, as a span, bytes the caller keeps in place, unchanged, until the request has ended.
    virtual void uploadData(const StringMap& param, std::string data,
                            TransferCallbacks<QuiloObjectRquest> callbacks = {});
    virtual void uploadData(const StringMap& param, std::span<const std::byte> data,
                            TransferCallbacks<QuiloObjectRquest> callbacks = {});
    // Uploads a stream of unknown length, with the keys of uploadObject but "filePath": `reader`
    // is called off the network thread for one part's bytes after another (see
    // S3ObjectRequest::Reader and PUTRequestForStream). A stream that ends within one part goes
    // in one PUT; the progress total is 0 until the stream has ended.
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
    // HTTPRequest::setRange), "followsSymlinks", read options.
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

  private:
    std::optional<ValueMap> config_;
    std::optional<ValueMap> globleConfig_ = ValueMap{};
};

}  // namespace quilo
