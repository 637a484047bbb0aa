#include "operations/ObjectOptions.hpp"

#include <array>
#include <string_view>
#include <utility>

#include "client/OperationSkeleton.hpp"

namespace quilo::detail {
namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 6> kObjectHeaders{{
    {"contentType", "Content-Type"},
    {"cacheControl", "Cache-Control"},
    {"contentDisposition", "Content-Disposition"},
    {"contentEncoding", "Content-Encoding"},
    {"contentLanguage", "Content-Language"},
    {"expires", "Expires"},
}};

constexpr std::array<std::pair<std::string_view, S3ObjectRequest::Condition>, 4> kConditions{{
    {"ifMatch", S3ObjectRequest::Condition::ifMatch},
    {"ifNoneMatch", S3ObjectRequest::Condition::ifNoneMatch},
    {"ifModifiedSince", S3ObjectRequest::Condition::ifModifiedSince},
    {"ifUnmodifiedSince", S3ObjectRequest::Condition::ifUnmodifiedSince},
}};

// The keys that name an object's headers, by the headers' own names; user metadata keeps its
// "x-amz-meta-" prefix.
StringMap objectHeaders(const StringMap& param) {
    StringMap headers;
    for (const auto& [key, header] : kObjectHeaders)
        if (auto value = entry(param, std::string(key).c_str()))
            headers.emplace(std::string(header), std::move(*value));
    for (auto meta = param.lower_bound("x-amz-meta-");
         meta != param.end() && meta->first.starts_with("x-amz-meta-"); ++meta)
        headers.insert(*meta);
    return headers;
}

}  // namespace

void setObjectOptions(QuiloObjectRquest& request, const StringMap& param) {
    if (auto headers = objectHeaders(param); !headers.empty())
        request.setObjectHeaders(headers);
    if (auto storageClass = entry(param, "storageClass"))
        request.setStorageClass(*storageClass);
    if (auto tagging = entry(param, "tagging"))
        request.setTagging(*tagging);
    auto keyId = entry(param, "sseKmsKeyId");
    if (auto algorithm = entry(param, "serverSideEncryption"); algorithm || keyId)
        request.setServerSideEncryption(algorithm.value_or("aws:kms"), std::move(keyId));
    if (auto key = entry(param, "sseCustomerKey"))
        request.setCustomerKey(*key);
}

void setReadOptions(QuiloObjectRquest& request, const StringMap& param) {
    if (auto versionId = entry(param, "versionId"))
        request.setVersionId(std::move(versionId));
    for (const auto& [key, condition] : kConditions)
        if (auto value = entry(param, std::string(key).c_str()))
            request.setCondition(condition, *value);
    if (auto key = entry(param, "sseCustomerKey"))
        request.setCustomerKey(*key);
}

}  // namespace quilo::detail
