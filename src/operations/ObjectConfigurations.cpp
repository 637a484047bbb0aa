// What an object version carries beside its bytes (tags, retention, legal hold), and the parts
// of the multipart uploads in progress.
#include "client/OperationSkeleton.hpp"
#include "quilo/Client.hpp"

namespace quilo {
namespace {

using detail::entry;
using Operation = S3ObjectRequest::Operation;
using ObjectCallbacks = Callbacks<QuiloObjectRquest>;

// Reads or removes what the version that "versionId" names (else the latest) carries.
void onVersion(Quilo& client, std::string_view name, Operation operation, const StringMap& param,
               const ObjectCallbacks& callbacks) {
    detail::runOperation<QuiloObjectRquest>(
        client, callbacks, {.name = name, .make = [&] {
                                auto request =
                                    QuiloObjectRquest::requestWithBucket<QuiloObjectRquest>(
                                        entry(param, "bucket"), entry(param, "key"), operation);
                                request->setVersionId(entry(param, "versionId"));
                                return request;
                            }});
}

// "bucket", "key", the value that `read` takes, and "versionId" if given; `factory` makes the
// request of the three first.
template <class Read, class Factory>
void setOnVersion(Quilo& client, std::string_view name, const ValueMap& param,
                  const ObjectCallbacks& callbacks, Read read, Factory factory) {
    detail::ParamReader in(name, param);
    detail::runOperation<QuiloObjectRquest>(
        client, callbacks,
        {.name = name,
         .make = [&]() -> std::shared_ptr<QuiloObjectRquest> {
             auto bucket = in.take<std::string>("bucket");
             auto key = in.take<std::string>("key");
             auto value = read(in);
             auto versionId = in.takeOptional<std::string>("versionId");
             if (!in.ok())
                 return nullptr;
             auto request = factory(std::move(bucket), std::move(key), std::move(value));
             request->setVersionId(std::move(versionId));
             return request;
         },
         .params = &in});
}

}  // namespace

void Quilo::getObjectTagging(const StringMap& param, ObjectCallbacks callbacks) {
    onVersion(*this, "getObjectTagging", Operation::getTagging, param, callbacks);
}

void Quilo::setObjectTagging(const ValueMap& param, ObjectCallbacks callbacks) {
    setOnVersion(
        *this, "setObjectTagging", param, callbacks,
        [](detail::ParamReader& in) { return in.take<StringMap>("tags"); },
        [](std::string bucket, std::string key, StringMap tags) {
            return QuiloObjectRquest::PUTRequestForTaggingWithBucket<QuiloObjectRquest>(
                std::move(bucket), std::move(key), std::move(tags));
        });
}

void Quilo::deleteObjectTagging(const StringMap& param, ObjectCallbacks callbacks) {
    onVersion(*this, "deleteObjectTagging", Operation::deleteTagging, param, callbacks);
}

void Quilo::getObjectRetention(const StringMap& param, ObjectCallbacks callbacks) {
    onVersion(*this, "getObjectRetention", Operation::getRetention, param, callbacks);
}

void Quilo::setObjectRetention(const ValueMap& param, ObjectCallbacks callbacks) {
    bool bypass = false;
    setOnVersion(
        *this, "setObjectRetention", param, callbacks,
        [&](detail::ParamReader& in) {
            S3Retention retention{.mode = in.take<std::string>("mode"),
                                  .retainUntilDate = in.take<std::string>("retainUntilDate")};
            bypass = in.takeOptional<bool>("bypassGovernanceRetention").value_or(false);
            return retention;
        },
        [&](std::string bucket, std::string key, const S3Retention& retention) {
            auto request = QuiloObjectRquest::PUTRequestForRetentionWithBucket<QuiloObjectRquest>(
                std::move(bucket), std::move(key), retention);
            if (bypass)
                request->addRequestHeader("x-amz-bypass-governance-retention", "true");
            return request;
        });
}

void Quilo::getObjectLegalHold(const StringMap& param, ObjectCallbacks callbacks) {
    onVersion(*this, "getObjectLegalHold", Operation::getLegalHold, param, callbacks);
}

void Quilo::setObjectLegalHold(const ValueMap& param, ObjectCallbacks callbacks) {
    setOnVersion(
        *this, "setObjectLegalHold", param, callbacks,
        [](detail::ParamReader& in) { return in.take<bool>("legalHold"); },
        [](std::string bucket, std::string key, bool on) {
            return QuiloObjectRquest::PUTRequestForLegalHoldWithBucket<QuiloObjectRquest>(
                std::move(bucket), std::move(key), on);
        });
}

void Quilo::listParts(const ValueMap& param, ObjectCallbacks callbacks) {
    detail::ParamReader in("listParts", param);
    std::optional<std::int32_t> count, marker;
    detail::runOperation<QuiloObjectRquest>(
        *this, callbacks,
        {.name = "listParts",
         .make = [&]() -> std::shared_ptr<QuiloObjectRquest> {
             auto bucket = in.take<std::string>("bucket");
             auto key = in.take<std::string>("key");
             auto uploadId = in.take<std::string>("uploadId");
             count = in.takeOptional<std::int32_t>("maxParts");
             marker = in.takeOptional<std::int32_t>("partNumberMarker");
             if (!in.ok())
                 return nullptr;
             return QuiloObjectRquest::requestForPartsWithBucket<QuiloObjectRquest>(
                 std::move(bucket), std::move(key), std::move(uploadId));
         },
         .params = &in,
         .beforeConfiguration =
             [&](QuiloObjectRquest& request) {
                 if (count)
                     request.setMaxResultCount(*count);
                 if (marker)
                     request.setPartNumberMarker(*marker);
             }});
}

void Quilo::abortMultipartUpload(const StringMap& param, ObjectCallbacks callbacks) {
    detail::runOperation<QuiloObjectRquest>(
        *this, callbacks,
        {.name = "abortMultipartUpload", .make = [&] {
             return QuiloObjectRquest::DELETERequestForUploadWithBucket<QuiloObjectRquest>(
                 entry(param, "bucket"), entry(param, "key"),
                 entry(param, "uploadId").value_or(""));
         }});
}

}  // namespace quilo
