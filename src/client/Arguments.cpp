#include "quilo/Arguments.hpp"

namespace quilo {
namespace {

// An optional argument goes into the map only when given: a key left out asks for nothing.
template <class Map, class T>
void put(Map& map, const char* key, const std::optional<T>& value) {
    if (value) {
        map.emplace(key, *value);
    }
}

}  // namespace

ValueMap SetBucketAclArgs::param() const {
    return {{"bucket", *bucket}, {"acl", *acl}};
}

ValueMap ListObjectsArgs::param() const {
    return {{"bucket", *bucket},
            {"maxKeys", maxKeys.value_or(1000)},
            {"prefix", prefix.value_or("")},
            {"delimiter", delimiter.value_or("")},
            {"marker", marker.value_or("")}};
}

ValueMap DeleteObjectsArgs::param() const {
    return {{"bucket", *bucket}, {"keys", *keys}};
}

namespace {

using Given = std::pair<const char*, const std::optional<std::string>*>;

void addOptional(StringMap& map, const char* key, const std::optional<std::string>& value) {
    if (value) {
        map.insert_or_assign(key, *value);
    }
}

template <std::size_t N>
void addAll(StringMap& map, const Given (&given)[N]) {
    for (const auto& [key, value] : given) {
        addOptional(map, key, *value);
    }
}

void addFlag(StringMap& map, const char* key, const std::optional<bool>& value) {
    if (value) {
        map.insert_or_assign(key, *value ? "true" : "false");
    }
}

void addPolicy(StringMap& map, const std::optional<AccessPolicy>& policy) {
    if (policy) {
        map.insert_or_assign("accessPolicy", std::string(rawValue(*policy)));
    }
}

}  // namespace

void ObjectOptions::addTo(StringMap& map) const {
    const Given given[] = {
        {"contentType", &contentType},
        {"cacheControl", &cacheControl},
        {"contentDisposition", &contentDisposition},
        {"contentEncoding", &contentEncoding},
        {"contentLanguage", &contentLanguage},
        {"expires", &expires},
        {"storageClass", &storageClass},
        {"tagging", &tagging},
        {"serverSideEncryption", &serverSideEncryption},
        {"sseKmsKeyId", &sseKmsKeyId},
        {"sseCustomerKey", &sseCustomerKey},
    };
    addAll(map, given);
    for (const auto& [name, value] : metadata.value_or(StringMap{})) {
        map.insert_or_assign("x-amz-meta-" + name, value);
    }
}

void ReadOptions::addTo(StringMap& map) const {
    const Given given[] = {
        {"versionId", &versionId},
        {"ifMatch", &ifMatch},
        {"ifNoneMatch", &ifNoneMatch},
        {"ifModifiedSince", &ifModifiedSince},
        {"ifUnmodifiedSince", &ifUnmodifiedSince},
        {"sseCustomerKey", &sseCustomerKey},
    };
    addAll(map, given);
}

StringMap UploadObjectArgs::param() const {
    StringMap map{{"filePath", *filePath}, {"bucket", *bucket}, {"key", *key}};
    addPolicy(map, accessPolicy);
    options.addTo(map);
    addFlag(map, "followsSymlinks", followsSymlinks);
    addOptional(map, "resumeJournal", resumeJournal);
    return map;
}

StringMap UploadArgs::param() const {
    StringMap map{{"bucket", *bucket}, {"key", *key}};
    addPolicy(map, accessPolicy);
    options.addTo(map);
    return map;
}

StringMap DownloadObjectArgs::param() const {
    StringMap map{{"bucket", *bucket}, {"key", *key}};
    addOptional(map, "downloadDestinationPath", downloadDestinationPath);
    addOptional(map, "range", range);
    options.addTo(map);
    addFlag(map, "followsSymlinks", followsSymlinks);
    addOptional(map, "resumeJournal", resumeJournal);
    return map;
}

StringMap CopyObjectArgs::param() const {
    StringMap map{{"srcBucket", *srcBucket},
                  {"srcKey", *srcKey},
                  {"desBucket", *desBucket},
                  {"desKey", *desKey}};
    addOptional(map, "srcVersionId", srcVersionId);
    addOptional(map, "metadataDirective", metadataDirective);
    addPolicy(map, accessPolicy);
    options.addTo(map);
    return map;
}

StringMap GetObjectMetaArgs::param() const {
    StringMap map{{"bucket", *bucket}, {"key", *key}};
    options.addTo(map);
    return map;
}

StringMap ObjectArgs::param() const {
    return {{"bucket", *bucket}, {"key", *key}};
}

ValueMap SetObjectAclArgs::param() const {
    return {{"bucket", *bucket}, {"key", *key}, {"acl", *acl}};
}

ValueMap SetObjectMetaArgs::param() const {
    return {{"bucket", *bucket}, {"key", *key}, {"meta", *meta}};
}

ValueMap SetBucketVersioningArgs::param() const {
    return {{"bucket", *bucket}, {"status", *status}};
}

ValueMap SetBucketTaggingArgs::param() const {
    return {{"bucket", *bucket}, {"tags", *tags}};
}

ValueMap SetBucketPolicyArgs::param() const {
    return {{"bucket", *bucket}, {"policy", *policy}};
}

ValueMap SetBucketLifecycleArgs::param() const {
    return {{"bucket", *bucket}, {"lifecycle", *lifecycle}};
}

ValueMap SetBucketCorsArgs::param() const {
    return {{"bucket", *bucket}, {"cors", *cors}};
}

ValueMap SetBucketObjectLockArgs::param() const {
    ValueMap map{{"bucket", *bucket}};
    put(map, "mode", mode);
    put(map, "days", days);
    put(map, "years", years);
    return map;
}

ValueMap ListObjectsV2Args::param() const {
    ValueMap map{{"bucket", *bucket}};
    put(map, "prefix", prefix);
    put(map, "delimiter", delimiter);
    put(map, "maxKeys", maxKeys);
    put(map, "startAfter", startAfter);
    put(map, "continuationToken", continuationToken);
    put(map, "fetchOwner", fetchOwner);
    put(map, "listedUpTo", listedUpTo);
    return map;
}

ValueMap ListObjectVersionsArgs::param() const {
    ValueMap map{{"bucket", *bucket}};
    put(map, "prefix", prefix);
    put(map, "delimiter", delimiter);
    put(map, "maxKeys", maxKeys);
    put(map, "keyMarker", keyMarker);
    put(map, "versionIdMarker", versionIdMarker);
    return map;
}

ValueMap ListMultipartUploadsArgs::param() const {
    ValueMap map{{"bucket", *bucket}};
    put(map, "prefix", prefix);
    put(map, "delimiter", delimiter);
    put(map, "maxUploads", maxUploads);
    put(map, "keyMarker", keyMarker);
    put(map, "uploadIdMarker", uploadIdMarker);
    return map;
}

StringMap VersionArgs::param() const {
    StringMap map{{"bucket", *bucket}, {"key", *key}};
    put(map, "versionId", versionId);
    return map;
}

ValueMap SetObjectTaggingArgs::param() const {
    ValueMap map{{"bucket", *bucket}, {"key", *key}, {"tags", *tags}};
    put(map, "versionId", versionId);
    return map;
}

ValueMap SetObjectRetentionArgs::param() const {
    ValueMap map{
        {"bucket", *bucket}, {"key", *key}, {"mode", *mode}, {"retainUntilDate", *retainUntilDate}};
    put(map, "versionId", versionId);
    put(map, "bypassGovernanceRetention", bypassGovernanceRetention);
    return map;
}

ValueMap SetObjectLegalHoldArgs::param() const {
    ValueMap map{{"bucket", *bucket}, {"key", *key}, {"legalHold", *legalHold}};
    put(map, "versionId", versionId);
    return map;
}

ValueMap ListPartsArgs::param() const {
    ValueMap map{{"bucket", *bucket}, {"key", *key}, {"uploadId", *uploadId}};
    put(map, "maxParts", maxParts);
    put(map, "partNumberMarker", partNumberMarker);
    return map;
}

StringMap AbortMultipartUploadArgs::param() const {
    return {{"bucket", *bucket}, {"key", *key}, {"uploadId", *uploadId}};
}

StringMap PresignedURLArgs::param() const {
    StringMap map{{"bucket", *bucket}, {"key", *key}};
    put(map, "method", method);
    if (expiresSeconds) {
        map.emplace("expiresSeconds", std::to_string(*expiresSeconds));
    }
    return map;
}

ValueMap PresignedPostArgs::param() const {
    ValueMap map{{"bucket", *bucket}, {"key", *key}};
    put(map, "expiresSeconds", expiresSeconds);
    put(map, "fields", fields);
    put(map, "startsWith", startsWith);
    put(map, "minContentLength", minContentLength);
    put(map, "maxContentLength", maxContentLength);
    return map;
}

}  // namespace quilo
