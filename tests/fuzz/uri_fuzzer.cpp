// libFuzzer target for the encodings that the URL and the signature share: the first byte
// picks the function, the rest, cut at NUL bytes for the query, gives its arguments.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "requestlib/UriEncoding.hpp"

namespace {

using namespace quilo::detail;

void require(bool condition) {
    if (!condition)
        std::abort();
}

bool isUnreserved(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           std::string_view("-._~").find(c) != std::string_view::npos;
}

// Strict decoding: '%' must start two upper-case hex digits and never stands for an unreserved
// character; '/' may stand as it is when `slash` says so. nullopt when the text breaks a rule.
std::optional<std::string> decode(std::string_view text, bool slash) {
    constexpr std::string_view hex = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            if (!isUnreserved(text[i]) && !(slash && text[i] == '/'))
                return std::nullopt;
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size() || hex.find(text[i + 1]) == hex.npos ||
            hex.find(text[i + 2]) == hex.npos)
            return std::nullopt;
        out += static_cast<char>(hex.find(text[i + 1]) * 16 + hex.find(text[i + 2]));
        if (isUnreserved(out.back()))
            return std::nullopt;
        i += 2;
    }
    return out;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (std::size_t end; (end = text.find(separator)) != text.npos; text.remove_prefix(end + 1))
        parts.push_back(text.substr(0, end));
    parts.push_back(text);
    return parts;
}

// Every parameter comes back once, sorted by encoded name then value.
void checkQuery(std::string_view text) {
    const auto parts = split(text, '\0');
    std::vector<std::pair<std::string, std::string>> parameters, encoded, decoded;
    for (std::size_t i = 0; i < parts.size(); i += 2)
        parameters.emplace_back(parts[i], i + 1 < parts.size() ? parts[i + 1] : "");
    const std::string query = canonicalQuery(parameters);
    for (const std::string_view item : split(query, '&')) {
        const std::size_t equals = item.find('=');
        require(equals != std::string_view::npos);
        const auto name = decode(item.substr(0, equals), false);
        const auto value = decode(item.substr(equals + 1), false);
        require(name && value);
        encoded.emplace_back(item.substr(0, equals), item.substr(equals + 1));
        decoded.emplace_back(*name, *value);
    }
    require(std::is_sorted(encoded.begin(), encoded.end()));
    std::sort(parameters.begin(), parameters.end());
    std::sort(decoded.begin(), decoded.end());
    require(decoded == parameters);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    const bool keepSlash = data[0] % 3 == 1;
    if (data[0] % 3 == 2)
        return checkQuery(rest), 0;
    const std::string encoded = uriEncode(rest, keepSlash);
    require(decode(encoded, keepSlash) == rest);
    // A kept slash is never encoded.
    require(!keepSlash || std::count(encoded.begin(), encoded.end(), '/') ==
                              std::count(rest.begin(), rest.end(), '/'));
    return 0;
}
