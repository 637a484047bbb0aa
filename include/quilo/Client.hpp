#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "quilo/AccessPolicy.hpp"
#include "quilo/Arguments.hpp"
#include "quilo/Callbacks.hpp"
#include "quilo/Completion.hpp"
#include "quilo/TypedRequests.hpp"
#include "quilo/Value.hpp"

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
class Quilo {
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

    std::optional<ValueMap>& config() { return config_; }
    const std::optional<ValueMap>& config() const { return config_; }
    std::optional<ValueMap>& globleConfig() { return globleConfig_; }
    const std::optional<ValueMap>& globleConfig() const { return globleConfig_; }

    // Applies the active configuration to a request that has not been started.
    virtual void configureRequest(const std::shared_ptr<S3Request>& request);

    // The buckets of the caller: buckets() and owner() on the request.
    virtual void listBuckets(Callbacks<QuiloServiceRequest> callbacks = {});
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

    // A URL through which anyone may make one request on an object until it expires, without
    // keys. param: "bucket", "key" (required), "method" (GET, the default, PUT, HEAD or DELETE),
    // "expiresSeconds" (1 to 604800 in decimal, default 3600). Signed with the active
    // configuration's keys and token for the process-wide host, region (the bucket's, once a
    // service has named it) and addressing style, over HTTPS when "useSSL" is true. Nothing is
    // sent. nullopt for a missing key, another method or expiry, or no keys to sign with.
    virtual std::optional<std::string> presignedURL(const StringMap& param);

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
