#include "client/OperationSkeleton.hpp"
#include "quilo/Client.hpp"

namespace quilo {

// The bucket name is passed on as given: what an empty or invalid name means is the request's
// business, and it comes back through `failed`.

void Quilo::createBucket(const std::string& bucket, Callbacks<QuiloBucketRequest> callbacks) {
    detail::runOperation<QuiloBucketRequest>(
        *this, callbacks,
        {.name = "createBucket", .make = [&] {
             return QuiloBucketRequest::PUTRequestWithBucket<QuiloBucketRequest>(bucket);
         }});
}

void Quilo::deleteBucket(const std::string& bucket, Callbacks<QuiloBucketRequest> callbacks) {
    detail::runOperation<QuiloBucketRequest>(
        *this, callbacks,
        {.name = "deleteBucket", .make = [&] {
             return QuiloBucketRequest::DELETERequestWithBucket<QuiloBucketRequest>(bucket);
         }});
}

void Quilo::getBucketAcl(const std::string& bucket, Callbacks<QuiloBucketRequest> callbacks) {
    detail::runOperation<QuiloBucketRequest>(
        *this, callbacks,
        {.name = "getBucketAcl", .make = [&] {
             return QuiloBucketRequest::requestForAclWithBucket<QuiloBucketRequest>(bucket);
         }});
}

void Quilo::setBucketAcl(const ValueMap& param, Callbacks<QuiloBucketRequest> callbacks) {
    detail::ParamReader in("setBucketAcl", param);
    detail::runOperation<QuiloBucketRequest>(
        *this, callbacks,
        {.name = "setBucketAcl",
         .make = [&]() -> std::shared_ptr<QuiloBucketRequest> {
             auto acl = in.take<AclMap>("acl");
             auto bucket = in.take<std::string>("bucket");
             if (!in.ok()) {
                 return nullptr;
             }
             return QuiloBucketRequest::PUTRequestWithBucket<QuiloBucketRequest>(std::move(bucket),
                                                                                 std::move(acl));
         },
         .params = &in});
}

void Quilo::deleteObjects(const ValueMap& param, Callbacks<QuiloBucketRequest> callbacks) {
    detail::ParamReader in("deleteObjects", param);
    detail::runOperation<QuiloBucketRequest>(
        *this, callbacks,
        {.name = "deleteObjects",
         .make = [&]() -> std::shared_ptr<QuiloBucketRequest> {
             auto bucket = in.take<std::string>("bucket");
             auto keys = in.take<StringList>("keys");
             if (!in.ok()) {
                 return nullptr;
             }
             return QuiloBucketRequest::DELETERequestWithBucket<QuiloBucketRequest>(
                 std::move(bucket), std::move(keys));
         },
         .params = &in});
}

void Quilo::getBucketMeta(const std::string& bucket, Callbacks<QuiloBucketRequest> callbacks) {
    detail::runOperation<QuiloBucketRequest>(
        *this, callbacks,
        {.name = "getBucketMeta", .make = [&] {
             return QuiloBucketRequest::requestForMetaWithBucket<QuiloBucketRequest>(bucket);
         }});
}

}  // namespace quilo
