#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace quilo::cli {

// A command line that cannot be carried out as written: reported with a hint and exit status 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// An object address as people write it: "s3://bucket/key". The key may be empty ("s3://bucket"
// or "s3://bucket/") or name a prefix ("s3://bucket/photos/").
struct S3Url {
    std::string bucket;
    std::string key;

    std::string text() const { return "s3://" + bucket + (key.empty() ? "" : "/" + key); }
    // The address as a folder: "photos" means "photos/", never "photos-old/".
    S3Url folder() const { return {bucket, key.empty() || key.ends_with('/') ? key : key + '/'}; }
};

bool isS3Url(std::string_view text);
// Throws UsageError when `text` is not an s3:// address with a bucket.
S3Url parseS3Url(std::string_view text);
// The same, for commands on a bucket: an address with a key is refused.
S3Url parseBucketUrl(std::string_view text);
// The same, for commands that need a key: one that is empty or ends in '/' is refused.
S3Url parseObjectUrl(std::string_view text);
// The last segment of a key or path ("photos/cat.jpg" -> "cat.jpg"); empty when it ends in '/'.
std::string baseName(std::string_view path);

}  // namespace quilo::cli
