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

}  // namespace quilo
