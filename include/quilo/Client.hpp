#pragma once

#include <cstdint>
#include <memory>
#include <optional>
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

    // param: "filePath", "bucket", "key", "accessPolicy" (see AccessPolicy).
    virtual void uploadObject(const StringMap& param,
                              TransferCallbacks<QuiloObjectRquest> callbacks = {});
    // param: "bucket", "key", "downloadDestinationPath" (without it the bytes are kept in
    // responseData()).
    virtual void downloadObject(const StringMap& param,
                                TransferCallbacks<QuiloObjectRquest> callbacks = {});
    // param: "srcBucket", "srcKey", "desBucket", "desKey".
    virtual void copyObject(const StringMap& param, Callbacks<QuiloObjectRquest> callbacks = {});
    // param: "bucket", "key".
    virtual void deleteObject(const StringMap& param, Callbacks<QuiloObjectRquest> callbacks = {});
    // param: "bucket", "key". accessControlPolicy() on the request.
    virtual void getObjectAcl(const StringMap& param, Callbacks<QuiloObjectRquest> callbacks = {});
    // param: "acl" (AclMap), "bucket", "key" (strings); all required.
    virtual void setObjectAcl(const ValueMap& param, Callbacks<QuiloObjectRquest> callbacks = {});
    // param: "bucket", "key". metadata() and responseHeaders() on the request.
    virtual void getObjectMeta(const StringMap& param, Callbacks<QuiloObjectRquest> callbacks = {});
    // param: "meta" (StringMap), "bucket", "key" (strings); all required. Replaces the metadata.
    virtual void setObjectMeta(const ValueMap& param, Callbacks<QuiloObjectRquest> callbacks = {});

    // A URL through which anyone may make one request on an object until it expires, without
    // keys. param: "bucket", "key" (required), "method" (GET, the default, PUT, HEAD or DELETE),
    // "expiresSeconds" (1 to 604800 in decimal, default 3600). Signed with the active
    // configuration's keys and token for the process-wide host, region (the bucket's, once a
    // service has named it) and addressing style, over HTTPS when "useSSL" is true. Nothing is
    // sent. nullopt for a missing key, another method or expiry, or no keys to sign with.
    virtual std::optional<std::string> presignedURL(const StringMap& param);

  private:
    std::optional<ValueMap> config_;
    std::optional<ValueMap> globleConfig_ = ValueMap{};
};

}  // namespace quilo
