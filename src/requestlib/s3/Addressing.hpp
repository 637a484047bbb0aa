#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "quilo/requestlib/base/Error.hpp"

namespace quilo {
class S3Request;
}

namespace quilo::detail {

using Query = std::vector<std::pair<std::string, std::string>>;

// "scheme://host/bucket/key?query", or "scheme://bucket.host/key?query", with every part
// percent-encoded: where the request's resource is for its region and addressing style. A
// misuse when virtual-hosted addressing is forced on a bucket that cannot be a host label.
std::variant<std::string, Error> resourceURL(const S3Request& request, const Query& query);

// One of the request's own URLs moved to where its bucket lives in `region`: on amazonaws.com
// the regional endpoint, anywhere else the URL as it is. Never a host the service named.
std::string inRegion(const S3Request& request, const std::string& url, const std::string& region);

// The region an amazonaws.com host names: eu-west-1 for s3.eu-west-1.amazonaws.com,
// us-east-1 for s3.amazonaws.com; none for any other host.
std::optional<std::string> regionNamedBy(std::string_view host);

// What a region name can be: lower-case letters, digits and hyphens. A region from an answer
// becomes part of a host name, so nothing else may pass.
bool isRegionName(std::string_view region);

}  // namespace quilo::detail
