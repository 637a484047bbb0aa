#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quilo::detail {

// Percent-encodes every byte except the unreserved A-Z a-z 0-9 - . _ ~ (and '/' when
// keepSlash), with upper-case hex: the encoding both the URL and the signature use.
std::string uriEncode(std::string_view text, bool keepSlash = false);

// "/bucket/key" encoded for the request line and the canonical request alike; "/" alone for
// the service, "/bucket" for a bucket.
std::string encodedPath(std::string_view bucket, std::string_view key);

// The canonical query string: names and values encoded, sorted by encoded name then value, a
// name without value written "name=".
std::string canonicalQuery(const std::vector<std::pair<std::string, std::string>>& parameters);

}  // namespace quilo::detail
