#include "quilo/Arguments.hpp"

namespace quilo {

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

StringMap UploadObjectArgs::param() const {
    StringMap map{{"filePath", *filePath}, {"bucket", *bucket}, {"key", *key}};
    if (accessPolicy) {
        map.emplace("accessPolicy", rawValue(*accessPolicy));
    }
    return map;
}

StringMap DownloadObjectArgs::param() const {
    StringMap map{{"bucket", *bucket}, {"key", *key}};
    if (downloadDestinationPath) {
        map.emplace("downloadDestinationPath", *downloadDestinationPath);
    }
    return map;
}

StringMap CopyObjectArgs::param() const {
    return {{"srcBucket", *srcBucket},
            {"srcKey", *srcKey},
            {"desBucket", *desBucket},
            {"desKey", *desKey}};
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

}  // namespace quilo
