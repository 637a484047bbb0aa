#include <charconv>

#include "client/OperationSkeleton.hpp"
#include "quilo/Client.hpp"

namespace quilo {

namespace {

// Plain decimal digits; no sign, space or fraction.
std::optional<std::chrono::seconds> secondsIn(const std::string& text) {
    long seconds = 0;
    const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (failure != std::errc() || end != text.data() + text.size() || text.starts_with('-')) {
        return std::nullopt;
    }
    return std::chrono::seconds(seconds);
}

}  // namespace

// The request library signs; this only reads the parameters and configures the request as any
// operation would.
std::optional<std::string> Quilo::presignedURL(const StringMap& param) {
    try {
        const auto expires = secondsIn(detail::entry(param, "expiresSeconds").value_or("3600"));
        if (!expires) {
            return std::nullopt;
        }
        auto request = QuiloObjectRquest::requestWithBucket<QuiloObjectRquest>(
            detail::entry(param, "bucket"), detail::entry(param, "key"));
        configureRequest(request);
        return request->presignedURL(detail::entry(param, "method").value_or("GET"), *expires);
    } catch (...) {
        return std::nullopt;
    }
}

// Every key is read before any is judged, so that a mistyped one is never passed over.
std::optional<S3PostForm> Quilo::presignedPost(const ValueMap& param) {
    try {
        detail::ParamReader in("presignedPost", param);
        auto bucket = in.take<std::string>("bucket");
        S3PostPolicy policy{.key = in.take<std::string>("key")};
        const auto expires = in.takeOptional<std::int32_t>("expiresSeconds");
        policy.fields = in.takeOptional<StringMap>("fields").value_or(StringMap{});
        policy.startsWith = in.takeOptional<StringMap>("startsWith").value_or(StringMap{});
        const auto least = in.takeOptional<std::int64_t>("minContentLength");
        const auto most = in.takeOptional<std::int64_t>("maxContentLength");
        if (!in.ok() || least.has_value() != most.has_value() ||
            (least && (*least < 0 || *most < *least)))
            return std::nullopt;
        if (least)
            policy.contentLength.emplace(*least, *most);
        policy.expires = std::chrono::seconds(expires.value_or(3600));
        auto request = QuiloBucketRequest::requestWithBucket<QuiloBucketRequest>(std::move(bucket));
        configureRequest(request);
        return request->presignedPost(policy);
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace quilo
