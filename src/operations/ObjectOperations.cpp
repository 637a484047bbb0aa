#include "client/OperationSkeleton.hpp"
#include "operations/ObjectOptions.hpp"
#include "quilo/Client.hpp"

namespace quilo {

using detail::entry;

namespace {

// setObjectAcl and setObjectMeta: what to set, under `what`, then the bucket and the key.
template <class T>
void setOnObject(Quilo& client, std::string_view name, const char* what, const ValueMap& param,
                 const Callbacks<QuiloObjectRquest>& callbacks) {
    detail::ParamReader in(name, param);
    detail::runOperation<QuiloObjectRquest>(
        client, callbacks,
        {.name = name,
         .make = [&]() -> std::shared_ptr<QuiloObjectRquest> {
             auto value = in.take<T>(what);
             auto bucket = in.take<std::string>("bucket");
             auto key = in.take<std::string>("key");
             if (!in.ok()) {
                 return nullptr;
             }
             return QuiloObjectRquest::PUTRequestWithBucket<QuiloObjectRquest>(
                 std::move(bucket), std::move(key), std::move(value));
         },
         .params = &in});
}

}  // namespace

// The string-to-string operations pass a missing key on as no string; the request decides what
// that means. The setting operations require every key.

void Quilo::copyObject(const StringMap& param, Callbacks<QuiloObjectRquest> callbacks) {
    detail::runOperation<QuiloObjectRquest>(
        *this, callbacks,
        {.name = "copyObject",
         .make =
             [&] {
                 return QuiloObjectRquest::COPYRequestFromBucket<QuiloObjectRquest>(
                     entry(param, "srcBucket"), entry(param, "srcKey"), entry(param, "desBucket"),
                     entry(param, "desKey"));
             },
         .afterHooks =
             [&](QuiloObjectRquest& request) {
                 if (auto version = entry(param, "srcVersionId"))
                     request.setSourceVersionId(std::move(version));
                 if (auto directive = entry(param, "metadataDirective"))
                     request.setMetadataDirective(*directive);
                 request.setAccessPolicy(entry(param, "accessPolicy"));
                 detail::setObjectOptions(request, param);
             }});
}

void Quilo::deleteObject(const StringMap& param, Callbacks<QuiloObjectRquest> callbacks) {
    detail::runOperation<QuiloObjectRquest>(
        *this, callbacks,
        {.name = "deleteObject",
         .make =
             [&] {
                 return QuiloObjectRquest::DELETERequestWithBucket<QuiloObjectRquest>(
                     entry(param, "bucket"), entry(param, "key"));
             },
         .afterHooks =
             [&](QuiloObjectRquest& request) {
                 if (auto version = entry(param, "versionId"))
                     request.setVersionId(std::move(version));
             }});
}

void Quilo::getObjectAcl(const StringMap& param, Callbacks<QuiloObjectRquest> callbacks) {
    detail::runOperation<QuiloObjectRquest>(
        *this, callbacks, {.name = "getObjectAcl", .make = [&] {
                               return QuiloObjectRquest::requestForAclWithBucket<QuiloObjectRquest>(
                                   entry(param, "bucket"), entry(param, "key"));
                           }});
}

void Quilo::setObjectAcl(const ValueMap& param, Callbacks<QuiloObjectRquest> callbacks) {
    setOnObject<AclMap>(*this, "setObjectAcl", "acl", param, callbacks);
}

void Quilo::getObjectMeta(const StringMap& param, Callbacks<QuiloObjectRquest> callbacks) {
    detail::runOperation<QuiloObjectRquest>(
        *this, callbacks,
        {.name = "getObjectMeta",
         .make =
             [&] {
                 return QuiloObjectRquest::requestForMetaWithBucket<QuiloObjectRquest>(
                     entry(param, "bucket"), entry(param, "key"));
             },
         .afterHooks =
             [&](QuiloObjectRquest& request) { detail::setReadOptions(request, param); }});
}

void Quilo::setObjectMeta(const ValueMap& param, Callbacks<QuiloObjectRquest> callbacks) {
    setOnObject<StringMap>(*this, "setObjectMeta", "meta", param, callbacks);
}

}  // namespace quilo
