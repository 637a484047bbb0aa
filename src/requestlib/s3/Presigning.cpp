// Presigned URLs: a request signed in its query, handed out rather than sent.
#include <algorithm>
#include <array>
#include <mutex>

#include "quilo/requestlib/s3/S3Request.hpp"
#include "requestlib/encoding/UriEncoding.hpp"
#include "requestlib/s3/Addressing.hpp"
#include "requestlib/signing/SigV4.hpp"

namespace quilo {
namespace {

constexpr std::array<std::string_view, 4> kMethods = {"GET", "PUT", "HEAD", "DELETE"};
// The longest a SigV4 signature in a query may be valid.
constexpr std::chrono::seconds kMaxExpiry = std::chrono::days(7);

}  // namespace

std::optional<std::string> S3Request::presignedURL(std::string_view method,
                                                   std::chrono::seconds expires) const {
    try {
        {
            std::lock_guard lock(stateMutex_);
            if (state_ != State::ready || pendingError_)
                return std::nullopt;
        }
        if (!accessKey_ || !secretKey_ || expires < std::chrono::seconds(1) ||
            expires > kMaxExpiry ||
            std::find(kMethods.begin(), kMethods.end(), method) == kMethods.end())
            return std::nullopt;
        const auto built = detail::resourceURL(*this, query_);
        const auto* url = std::get_if<std::string>(&built);
        const auto parts = url ? detail::parseUrl(*url) : std::nullopt;
        if (!parts)
            return std::nullopt;
        detail::SigningInput input{.method = std::string(method),
                                   .encodedPath = parts->path,
                                   .query = detail::decodeQuery(parts->query),
                                   .headers = {{"host", detail::hostHeader(*parts)}},
                                   .payloadHash = detail::kUnsignedPayload,
                                   .accessKey = *accessKey_,
                                   .secretKey = *secretKey_,
                                   .region = region(),
                                   .time = std::chrono::system_clock::now()};
        const std::string query =
            detail::presignedQuery(std::move(input), expires, sessionToken_.value_or(""));
        if (query.empty())
            return std::nullopt;
        return *url + (parts->query.empty() ? '?' : '&') + query;
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace quilo
