#include "requestlib/UriEncoding.hpp"

#include <algorithm>

namespace quilo::detail {

namespace {

bool isUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

void appendEncoded(std::string& out, std::string_view text, bool keepSlash) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (unsigned char c : text) {
        if (isUnreserved(c) || (keepSlash && c == '/')) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kDigits[c >> 4];
            out += kDigits[c & 0x0f];
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

}  // namespace quilo::detail
