// libFuzzer target for the encodings that the URL and the signature share: the first byte
// picks the function, the rest, cut at NUL bytes, gives its arguments.
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
using Parameters = std::vector<std::pair<std::string, std::string>>;

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool isUnreserved(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

int upperHex(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Strict decoding: '%' must start two upper-case hex digits and never stands for an unreserved
// character; `allowed` says which other bytes may appear as they are. nullopt when the text
// breaks either rule.
template <class Allowed>
std::optional<std::string> decode(std::string_view text, Allowed allowed) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            if (i + 2 >= text.size()) {
                return std::nullopt;
            }
            const int high = upperHex(text[i + 1]);
            const int low = upperHex(text[i + 2]);
            if (high < 0 || low < 0) {
                return std::nullopt;
            }
            const char c = static_cast<char>(high * 16 + low);
            if (isUnreserved(c)) {
                return std::nullopt;
            }
            out += c;
            i += 2;
        } else if (isUnreserved(text[i]) || allowed(text[i])) {
            out += text[i];
        } else {
            return std::nullopt;
        }
    }
    return out;
}

std::vector<std::string> split(std::string_view text) {
    std::vector<std::string> parts;
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t end = std::min(text.find('\0', start), text.size());
        parts.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

void checkEncode(std::string_view text, bool keepSlash) {
    const std::string encoded = uriEncode(text, keepSlash);
    const auto decoded = decode(encoded, [&](char c) { return keepSlash && c == '/'; });
    require(decoded && *decoded == text);
    // A kept slash is never encoded either.
    const auto slashes = [](std::string_view s) { return std::count(s.begin(), s.end(), '/'); };
    require(!keepSlash || slashes(encoded) == slashes(text));
}

void checkPath(std::string_view text) {
    const auto parts = split(text);
    const std::string& bucket = parts[0];
    const std::string key = parts.size() > 1 ? parts[1] : "";
    const std::string path = encodedPath(bucket, key);
    require(!path.empty() && path.front() == '/');
    const auto decoded = decode(path, [](char c) { return c == '/'; });
    std::string expected = "/" + bucket;
    if (!key.empty()) {
        expected += (bucket.empty() ? "" : "/") + key;
    }
    require(decoded && *decoded == expected);
    // The bucket is one segment: its slashes are encoded and the key's are not, so the first
    // raw one after the root is where the key begins.
    const auto slashes = [](std::string_view s) { return std::count(s.begin(), s.end(), '/'); };
    require(slashes(path) == 1 + (!bucket.empty() && !key.empty() ? 1 : 0) + slashes(key));
    if (!bucket.empty()) {
        const std::string head = path.substr(1, path.find('/', 1) - 1);
        require(decode(head, [](char) { return false; }) == bucket);
    }
}

void checkQuery(std::string_view text) {
    const auto parts = split(text);
    Parameters parameters;
    for (std::size_t i = 0; i < parts.size(); i += 2) {
        parameters.emplace_back(parts[i], i + 1 < parts.size() ? parts[i + 1] : "");
    }
    const std::string query = canonicalQuery(parameters);

    Parameters encoded, decoded;
    for (std::size_t start = 0; start <= query.size();) {
        const std::size_t end = std::min(query.find('&', start), query.size());
        const std::string_view item = std::string_view(query).substr(start, end - start);
        const std::size_t equals = item.find('=');
        require(equals != std::string_view::npos);
        const std::string_view name = item.substr(0, equals);
        const std::string_view value = item.substr(equals + 1);
        const auto plain = [](char) { return false; };
        const auto decodedName = decode(name, plain);
        const auto decodedValue = decode(value, plain);
        require(decodedName && decodedValue);
        encoded.emplace_back(name, value);
        decoded.emplace_back(*decodedName, *decodedValue);
        start = end + 1;
    }
    // Every parameter once, sorted by encoded name then value.
    require(std::is_sorted(encoded.begin(), encoded.end()));
    std::sort(parameters.begin(), parameters.end());
    std::sort(decoded.begin(), decoded.end());
    require(decoded == parameters);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 4) {
        case 0:
            checkEncode(rest, false);
            break;
        case 1:
            checkEncode(rest, true);
            break;
        case 2:
            checkPath(rest);
            break;
        default:
            checkQuery(rest);
    }
    return 0;
}
