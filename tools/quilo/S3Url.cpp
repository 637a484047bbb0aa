#include "S3Url.hpp"

namespace quilo::cli {

namespace {
constexpr std::string_view scheme = "s3://";
}

bool isS3Url(std::string_view text) {
    return text.starts_with(scheme);
}

S3Url parseS3Url(std::string_view text) {
    if (!isS3Url(text)) {
        throw UsageError("'" + std::string(text) + "' is not an s3://bucket[/key] address");
    }
    const auto rest = text.substr(scheme.size());
    const auto slash = rest.find('/');
    S3Url url{std::string(rest.substr(0, slash)),
              slash == std::string_view::npos ? "" : std::string(rest.substr(slash + 1))};
    if (url.bucket.empty()) {
        throw UsageError("'" + std::string(text) + "' names no bucket");
    }
    return url;
}

S3Url parseBucketUrl(std::string_view text) {
    S3Url url = parseS3Url(text);
    if (!url.key.empty()) {
        throw UsageError("'" + std::string(text) + "' names an object, not a bucket (s3://bucket)");
    }
    return url;
}

S3Url parseObjectUrl(std::string_view text) {
    S3Url url = parseS3Url(text);
    if (url.key.empty() || url.key.ends_with('/')) {
        throw UsageError("'" + std::string(text) + "' names no object (s3://bucket/key)");
    }
    return url;
}

std::string baseName(std::string_view path) {
    const auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

}  // namespace quilo::cli
