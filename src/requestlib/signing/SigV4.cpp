#include "requestlib/signing/SigV4.hpp"

#include <cstdio>
#include <map>
#include <string_view>

#include "requestlib/encoding/Crypto.hpp"
#include "requestlib/encoding/UriEncoding.hpp"

namespace quilo::detail {

namespace {

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
bool blank(char c) {
    return c == ' ' || c == '\t';
}

// Trimmed, with every inner run of blanks folded to one space.
std::string foldedValue(std::string_view value) {
    std::string out;
    bool pendingSpace = false;
    for (char c : value) {
        if (blank(c)) {
            pendingSpace = !out.empty();
            continue;
        }
        if (pendingSpace)
            out += ' ';
        pendingSpace = false;
        out += c;
    }
    return out;
}

struct CanonicalHeaders {
    std::string block;    // "name:value\n" per name
    std::string signed_;  // "name;name"
};

CanonicalHeaders canonicalHeaders(const std::vector<std::pair<std::string, std::string>>& headers) {
    // A name given twice is one canonical header whose values join with ',' in the order given.
    std::map<std::string, std::string> byName;
    for (const auto& [name, value] : headers) {
        std::string key;
        key.reserve(name.size());
        for (char c : name)
            key += lower(c);
        auto [it, inserted] = byName.try_emplace(std::move(key), foldedValue(value));
        if (!inserted) {
            it->second += ',';
            it->second += foldedValue(value);
        }
    }
    CanonicalHeaders out;
    for (const auto& [name, value] : byName) {
        out.block += name + ':' + value + '\n';
        if (!out.signed_.empty())
            out.signed_ += ';';
        out.signed_ += name;
    }
    return out;
}

std::string credentialScope(const std::string& date, const SigningInput& input) {
    return date + '/' + input.region + '/' + input.service + "/aws4_request";
}

}  // namespace

std::string amzDate(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    auto seconds = floor<std::chrono::seconds>(time);
    auto day = floor<days>(seconds);
    year_month_day date{day};
    hh_mm_ss clock{seconds - day};
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02u%02uT%02d%02d%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(clock.hours().count()),
                  static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()));
    try {
        return text;
    } catch (...) {
        return {};
    }
}

std::string signatureOf(std::string_view stringToSign, const SigningInput& input) {
    try {
        // The signing key is a chain of MACs, each keying the next, and the last one over the
        // string to sign is the signature. An empty MAC means the crypto library failed.
        const std::string date = amzDate(input.time).substr(0, 8);
        std::string mac = "AWS4" + input.secretKey;
        for (std::string_view part :
             {std::string_view(date), std::string_view(input.region),
              std::string_view(input.service), std::string_view("aws4_request"), stringToSign}) {
            mac = hmacSha256(mac, part);
            if (mac.empty())
                return {};
        }
        return hexEncode(mac);
    } catch (...) {
        return {};
    }
}

std::string credential(const SigningInput& input) {
    return input.accessKey + '/' + credentialScope(amzDate(input.time).substr(0, 8), input);
}

Signature signV4(const SigningInput& input) {
    Signature result;
    try {
        result.amzDate = amzDate(input.time);
        std::string date = result.amzDate.substr(0, 8);
        std::string scope = credentialScope(date, input);

        CanonicalHeaders headers = canonicalHeaders(input.headers);
        result.canonicalRequest = input.method + '\n' +
                                  (input.encodedPath.empty() ? "/" : input.encodedPath) + '\n' +
                                  canonicalQuery(input.query) + '\n' + headers.block + '\n' +
                                  headers.signed_ + '\n' + input.payloadHash;

        std::string requestHash = sha256Hex(result.canonicalRequest);
        if (requestHash.empty())
            return result;
        result.stringToSign = std::string(kSigningAlgorithm) + '\n' + result.amzDate + '\n' +
                              scope + '\n' + requestHash;

        result.signature = signatureOf(result.stringToSign, input);
        if (result.signature.empty())
            return result;
        result.authorization = std::string(kSigningAlgorithm) + " Credential=" + input.accessKey +
                               '/' + scope + ", SignedHeaders=" + headers.signed_ +
                               ", Signature=" + result.signature;
    } catch (...) {
        result.signature.clear();
        result.authorization.clear();
    }
    return result;
}

std::string presignedQuery(SigningInput input, std::chrono::seconds expires,
                           const std::string& securityToken) {
    try {
        const std::string date = amzDate(input.time);
        std::vector<std::pair<std::string, std::string>> added = {
            {"X-Amz-Algorithm", std::string(kSigningAlgorithm)},
            {"X-Amz-Credential", credential(input)},
            {"X-Amz-Date", date},
            {"X-Amz-Expires", std::to_string(expires.count())},
            {"X-Amz-SignedHeaders", canonicalHeaders(input.headers).signed_}};
        if (!securityToken.empty())
            added.emplace_back("X-Amz-Security-Token", securityToken);
        input.query.insert(input.query.end(), added.begin(), added.end());
        const std::string signature = signV4(input).signature;
        if (signature.empty())
            return {};
        std::string query;
        for (const auto& [name, value] : added)
            query.append(name).append("=").append(uriEncode(value)).append("&");
        return query + "X-Amz-Signature=" + signature;
    } catch (...) {
        return {};
    }
}

}  // namespace quilo::detail
