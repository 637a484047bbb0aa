#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quilo::detail {

bool equalsIgnoringCase(std::string_view a, std::string_view b) noexcept;
std::string toLower(std::string_view text);
std::string_view trimWhitespace(std::string_view text) noexcept;
// An HTTP token (RFC 9110): what a header name must be.
bool isHeaderName(std::string_view name) noexcept;
// A header value must not be able to end the header early or start another.
bool isSafeHeaderValue(std::string_view value) noexcept;
// One range of bytes as a Range header asks for it: "bytes=a-b" (a <= b), "bytes=a-" or
// "bytes=-n" (n > 0), in decimal.
bool isByteRange(std::string_view range) noexcept;

// A time given as HTTP writes it ("Sun, 06 Nov 1994 08:49:37 GMT") or as ISO 8601 in UTC
// ("1994-11-06T08:49:37Z", perhaps with a fraction of a second), in HTTP's form; nullopt for
// anything else, a day that does not exist included.
std::optional<std::string> httpDate(std::string_view text);

}  // namespace quilo::detail
