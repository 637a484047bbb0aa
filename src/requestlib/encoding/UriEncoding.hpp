#pragma once

#include <optional>
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

// Undoes %XX (a '%' not followed by two hex digits stays as it is); form encoding also writes a
// space as '+'.
std::string percentDecode(std::string_view text, bool plusIsSpace = false);
std::vector<std::pair<std::string, std::string>> decodeQuery(std::string_view query);

// An absolute URL, split. Scheme and host are lower-cased; port is the scheme's when not given.
struct Url {
    std::string scheme, authority, host, port, path, query;
};
std::optional<Url> parseUrl(std::string_view text);
std::string_view defaultPort(std::string_view scheme);
// The Host header as curl sends it: without the scheme's default port.
std::string hostHeader(const Url& url);
std::string origin(const Url& url);  // "scheme://authority"

}  // namespace quilo::detail
