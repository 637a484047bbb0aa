// What a bucket is configured with: versioning, tags, policy, lifecycle, CORS, object lock.
#include "client/OperationSkeleton.hpp"
#include "quilo/Client.hpp"

namespace quilo {
namespace {

using Operation = S3BucketRequest::Operation;
using BucketCallbacks = Callbacks<QuiloBucketRequest>;

// An operation that needs nothing but the bucket's name.
void onBucket(Quilo& client, std::string_view name, const std::string& bucket, Operation operation,
              const BucketCallbacks& callbacks) {
    detail::runOperation<QuiloBucketRequest>(
        client, callbacks, {.name = name, .make = [&] {
                                return QuiloBucketRequest::requestWithBucket<QuiloBucketRequest>(
                                    bucket, operation);
                            }});
}

// "bucket" and the value under `what`, of which `factory` makes the request.
template <class T, class Factory>
void setOnBucket(Quilo& client, std::string_view name, const char* what, const ValueMap& param,
                 const BucketCallbacks& callbacks, Factory factory) {
    detail::ParamReader in(name, param);
    detail::runOperation<QuiloBucketRequest>(client, callbacks,
                                             {.name = name,
                                              .make = [&]() -> std::shared_ptr<QuiloBucketRequest> {
                                                  auto bucket = in.take<std::string>("bucket");
                                                  auto value = in.take<T>(what);
                                                  if (!in.ok())
                                                      return nullptr;
                                                  return factory(std::move(bucket),
                                                                 std::move(value));
                                              },
                                              .params = &in});
}

}  // namespace

void Quilo::createBucketWithObjectLock(const std::string& bucket, BucketCallbacks callbacks) {
    onBucket(*this, "createBucketWithObjectLock", bucket, Operation::createWithObjectLock,
             callbacks);
}

void Quilo::getBucketVersioning(const std::string& bucket, BucketCallbacks callbacks) {
    onBucket(*this, "getBucketVersioning", bucket, Operation::getVersioning, callbacks);
}

void Quilo::setBucketVersioning(const ValueMap& param, BucketCallbacks callbacks) {
    setOnBucket<std::string>(
        *this, "setBucketVersioning", "status", param, callbacks,
        [](std::string bucket, std::string status) {
            return QuiloBucketRequest::PUTRequestForVersioningWithBucket<QuiloBucketRequest>(
                std::move(bucket), std::move(status));
        });
}

void Quilo::getBucketTagging(const std::string& bucket, BucketCallbacks callbacks) {
    onBucket(*this, "getBucketTagging", bucket, Operation::getTagging, callbacks);
}

void Quilo::setBucketTagging(const ValueMap& param, BucketCallbacks callbacks) {
    setOnBucket<StringMap>(
        *this, "setBucketTagging", "tags", param, callbacks,
        [](std::string bucket, StringMap tags) {
            return QuiloBucketRequest::PUTRequestForTaggingWithBucket<QuiloBucketRequest>(
                std::move(bucket), std::move(tags));
        });
}

void Quilo::deleteBucketTagging(const std::string& bucket, BucketCallbacks callbacks) {
    onBucket(*this, "deleteBucketTagging", bucket, Operation::deleteTagging, callbacks);
}

void Quilo::getBucketPolicy(const std::string& bucket, BucketCallbacks callbacks) {
    onBucket(*this, "getBucketPolicy", bucket, Operation::getPolicy, callbacks);
}

void Quilo::setBucketPolicy(const ValueMap& param, BucketCallbacks callbacks) {
    setOnBucket<std::string>(
        *this, "setBucketPolicy", "policy", param, callbacks,
        [](std::string bucket, std::string policy) {
            return QuiloBucketRequest::PUTRequestForPolicyWithBucket<QuiloBucketRequest>(
                std::move(bucket), std::move(policy));
        });
}

void Quilo::deleteBucketPolicy(const std::string& bucket, BucketCallbacks callbacks) {
    onBucket(*this, "deleteBucketPolicy", bucket, Operation::deletePolicy, callbacks);
}

void Quilo::getBucketLifecycle(const std::string& bucket, BucketCallbacks callbacks) {
    onBucket(*this, "getBucketLifecycle", bucket, Operation::getLifecycle, callbacks);
}

void Quilo::setBucketLifecycle(const ValueMap& param, BucketCallbacks callbacks) {
    setOnBucket<S3LifecycleConfiguration>(
        *this, "setBucketLifecycle", "lifecycle", param, callbacks,
        [](std::string bucket, const S3LifecycleConfiguration& lifecycle) {
            return QuiloBucketRequest::PUTRequestForLifecycleWithBucket<QuiloBucketRequest>(
                std::move(bucket), lifecycle);
        });
}

void Quilo::deleteBucketLifecycle(const std::string& bucket, BucketCallbacks callbacks) {
    onBucket(*this, "deleteBucketLifecycle", bucket, Operation::deleteLifecycle, callbacks);
}

void Quilo::getBucketCors(const std::string& bucket, BucketCallbacks callbacks) {
    onBucket(*this, "getBucketCors", bucket, Operation::getCors, callbacks);
}

void Quilo::setBucketCors(const ValueMap& param, BucketCallbacks callbacks) {
    setOnBucket<S3CorsConfiguration>(
        *this, "setBucketCors", "cors", param, callbacks,
        [](std::string bucket, const S3CorsConfiguration& cors) {
            return QuiloBucketRequest::PUTRequestForCorsWithBucket<QuiloBucketRequest>(
                std::move(bucket), cors);
        });
}

void Quilo::deleteBucketCors(const std::string& bucket, BucketCallbacks callbacks) {
    onBucket(*this, "deleteBucketCors", bucket, Operation::deleteCors, callbacks);
}

void Quilo::getBucketObjectLock(const std::string& bucket, BucketCallbacks callbacks) {
    onBucket(*this, "getBucketObjectLock", bucket, Operation::getObjectLock, callbacks);
}

void Quilo::setBucketObjectLock(const ValueMap& param, BucketCallbacks callbacks) {
    detail::ParamReader in("setBucketObjectLock", param);
    detail::runOperation<QuiloBucketRequest>(
        *this, callbacks,
        {.name = "setBucketObjectLock",
         .make = [&]() -> std::shared_ptr<QuiloBucketRequest> {
             auto bucket = in.take<std::string>("bucket");
             const S3ObjectLockConfiguration lock{
                 .mode = in.takeOptional<std::string>("mode").value_or(""),
                 .days = in.takeOptional<std::int32_t>("days"),
                 .years = in.takeOptional<std::int32_t>("years")};
             if (!in.ok())
                 return nullptr;
             return QuiloBucketRequest::PUTRequestForObjectLockWithBucket<QuiloBucketRequest>(
                 std::move(bucket), lock);
         },
         .params = &in});
}

}  // namespace quilo
