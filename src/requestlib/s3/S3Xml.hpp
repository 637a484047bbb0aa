#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quilo/requestlib/s3/S3Types.hpp"

namespace quilo::detail {

// Answers larger than this are refused before parsing.
inline constexpr std::size_t kMaxXmlBytes = 16u << 20;

// A parse result: the value, or why there is none.
template <class T>
struct Parsed {
    std::optional<T> value;
    std::string problem;
};

struct ErrorDocument {
    std::string code, message, requestId, resource;
    std::string region;  // where the bucket is, when a signature named another
};
struct BucketList {
    std::vector<S3Bucket> buckets;
    std::optional<S3Owner> owner;
};
// A page of a listing (ListObjects, version 1 or 2), its names decoded.
struct ObjectList {
    std::vector<S3Object> objects;
    std::vector<std::string> commonPrefixes;
    bool isTruncated = false;
    std::string nextMarker;             // as the service gave it; may be empty
    std::string nextContinuationToken;  // version 2's
};
struct VersionList {
    std::vector<S3ObjectVersion> versions;  // delete markers among them, in the service's order
    std::vector<std::string> commonPrefixes;
    bool isTruncated = false;
    std::string nextKeyMarker, nextVersionIdMarker;
};
struct UploadList {
    std::vector<S3MultipartUpload> uploads;
    std::vector<std::string> commonPrefixes;
    bool isTruncated = false;
    std::string nextKeyMarker, nextUploadIdMarker;
};
struct PartList {
    std::vector<S3Part> parts;
    bool isTruncated = false;
    std::optional<std::int32_t> nextPartNumberMarker;
};
struct CopyResult {
    std::string etag, lastModified;
};

// Elements are matched by local name, so that any namespace (or none) is accepted.
// An <Error> document where a result was expected is reported as a problem, never as a value.
Parsed<ErrorDocument> parseErrorDocument(std::string_view xml);
Parsed<BucketList> parseBucketList(std::string_view xml);
Parsed<ObjectList> parseObjectList(std::string_view xml);
Parsed<VersionList> parseVersionList(std::string_view xml);
Parsed<UploadList> parseUploadList(std::string_view xml);
// The parts after part `after`: a page that does not go on past it is a problem.
Parsed<PartList> parsePartList(std::string_view xml, std::int32_t after = 0);
Parsed<S3AccessControlPolicy> parseAccessControlPolicy(std::string_view xml);
Parsed<std::string> parseInitiateMultipartUpload(std::string_view xml);  // the UploadId
Parsed<std::string> parseCompleteMultipartUpload(std::string_view xml);  // the ETag, maybe ""
Parsed<CopyResult> parseCopyObjectResult(std::string_view xml);
Parsed<std::string> parseCopyPartResult(std::string_view xml);  // the part's ETag
// The keys a multi-object delete could not remove; in quiet mode the deleted ones go unnamed.
Parsed<std::vector<S3DeleteFailure>> parseDeleteResult(std::string_view xml);

// Configuration documents, read from a GET and written for a PUT. Versioning reads "Enabled",
// "Suspended", or "" for a bucket that never had it.
Parsed<std::string> parseVersioning(std::string_view xml);
Parsed<StringMap> parseTagging(std::string_view xml);
Parsed<S3LifecycleConfiguration> parseLifecycle(std::string_view xml);
Parsed<S3CorsConfiguration> parseCors(std::string_view xml);
Parsed<S3ObjectLockConfiguration> parseObjectLock(std::string_view xml);
Parsed<S3Retention> parseRetention(std::string_view xml);
Parsed<bool> parseLegalHold(std::string_view xml);  // whether the hold is on
std::string versioningBody(std::string_view status);
std::string taggingBody(const StringMap& tags);
std::string lifecycleBody(const S3LifecycleConfiguration& configuration);
std::string corsBody(const S3CorsConfiguration& configuration);
std::string objectLockBody(const S3ObjectLockConfiguration& configuration);
std::string retentionBody(const S3Retention& retention);
std::string legalHoldBody(bool on);

// The body of CreateBucket for a region: empty for us-east-1.
std::string createBucketBody(std::string_view region);
// The body of CompleteMultipartUpload for (part number, ETag) pairs in ascending order.
std::string completeMultipartUploadBody(const std::vector<std::pair<int, std::string>>& parts);
// The body of a quiet multi-object delete of `keys`, each of which must be isXmlText.
std::string deleteObjectsBody(const std::vector<std::string>& keys);
// Whether XML 1.0 can carry the text: well-formed UTF-8 of characters it allows, so no control
// character but TAB, LF and CR.
bool isXmlText(std::string_view text) noexcept;

}  // namespace quilo::detail
