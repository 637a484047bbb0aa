#include "requestlib/encoding/UriEncoding.hpp"

#include <algorithm>

#include "requestlib/base/Text.hpp"

namespace quilo::detail {

namespace {

bool isUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

void appendEncoded(std::string& out, std::string_view text, bool keepSlash) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (isUnreserved(byte) || (keepSlash && c == '/')) {
            out += c;
        } else {
            out += '%';
            out += kDigits[byte >> 4];
            out += kDigits[byte & 0x0f];
        }
    }
}

}  // namespace

// Every function here returns an empty string rather than throw (only allocation can fail).

std::string uriEncode(std::string_view text, bool keepSlash) {
    try {
        std::string out;
        out.reserve(text.size());
        appendEncoded(out, text, keepSlash);
        return out;
    } catch (...) {
        return {};
    }
}

std::string encodedPath(std::string_view bucket, std::string_view key) {
    try {
        std::string path = "/";
        appendEncoded(path, bucket, false);
        if (!key.empty()) {
            if (!bucket.empty())
                path += '/';
            // Dot segments stay as they are: S3 keys are not file paths, and the request goes
            // out without curl's path squashing.
            appendEncoded(path, key, true);
        }
        return path;
    } catch (...) {
        return {};
    }
}

std::string canonicalQuery(const std::vector<std::pair<std::string, std::string>>& parameters) {
    try {
        std::vector<std::pair<std::string, std::string>> encoded;
        encoded.reserve(parameters.size());
        for (const auto& [name, value] : parameters)
            encoded.emplace_back(uriEncode(name), uriEncode(value));
        // Sorting the encoded forms byte by byte is what the server does.
        std::sort(encoded.begin(), encoded.end());
        std::string out;
        for (const auto& [name, value] : encoded) {
            if (!out.empty())
                out += '&';
            out += name;
            out += '=';
            out += value;
        }
        return out;
    } catch (...) {
        return {};
    }
}

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string percentDecode(std::string_view text, bool plusIsSpace) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
            hexValue(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back(plusIsSpace && text[i] == '+' ? ' ' : text[i]);
        }
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> decodeQuery(std::string_view query) {
    std::vector<std::pair<std::string, std::string>> parameters;
    while (!query.empty()) {
        const auto end = query.find('&');
        const std::string_view item = query.substr(0, end);
        if (!item.empty()) {
            const auto equals = item.find('=');
            parameters.emplace_back(percentDecode(item.substr(0, equals)),
                                    equals == std::string_view::npos
                                        ? std::string()
                                        : percentDecode(item.substr(equals + 1)));
        }
        if (end == std::string_view::npos)
            break;
        query.remove_prefix(end + 1);
    }
    return parameters;
}

std::optional<Url> parseUrl(std::string_view text) {
    const auto schemeEnd = text.find("://");
    if (schemeEnd == std::string_view::npos || schemeEnd == 0)
        return std::nullopt;
    Url url;
    url.scheme = toLower(text.substr(0, schemeEnd));
    text.remove_prefix(schemeEnd + 3);
    const auto pathStart = text.find_first_of("/?");
    url.authority = text.substr(0, pathStart);
    if (url.authority.empty() || url.authority.find('@') != std::string::npos)
        return std::nullopt;
    const auto colon = url.authority.rfind(':');
    const bool bracketed = url.authority.back() == ']';
    url.host = toLower(bracketed || colon == std::string::npos ? url.authority
                                                               : url.authority.substr(0, colon));
    url.port = bracketed || colon == std::string::npos ? std::string(defaultPort(url.scheme))
                                                       : url.authority.substr(colon + 1);
    text.remove_prefix(pathStart == std::string_view::npos ? text.size() : pathStart);
    const auto queryStart = text.find('?');
    const std::string_view path = text.substr(0, queryStart);
    url.path = path.empty() ? std::string_view("/") : path;
    if (queryStart != std::string_view::npos)
        url.query = text.substr(queryStart + 1);
    return url;
}

std::string_view defaultPort(std::string_view scheme) {
    return scheme == "https" ? "443" : scheme == "http" ? "80" : "";
}

std::string hostHeader(const Url& url) {
    const bool implied = url.authority.ends_with(std::string(":").append(defaultPort(url.scheme)));
    return implied ? url.authority.substr(0, url.authority.rfind(':')) : url.authority;
}

std::string origin(const Url& url) {
    return url.scheme + "://" + url.authority;
}

}  // namespace quilo::detail
