#pragma once

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

}  // namespace quilo::detail
