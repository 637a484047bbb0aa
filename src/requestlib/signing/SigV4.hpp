#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quilo::detail {

inline constexpr const char* kUnsignedPayload = "UNSIGNED-PAYLOAD";
inline constexpr std::string_view kSigningAlgorithm = "AWS4-HMAC-SHA256";

// What AWS Signature Version 4 signs. Header names may come in any case and order; values are
// trimmed and their inner runs of spaces folded as the signature requires.
struct SigningInput {
    std::string method;
    std::string encodedPath;  // exactly as on the request line, e.g. "/bucket/a%20b"
    std::vector<std::pair<std::string, std::string>> query;    // decoded names and values
    std::vector<std::pair<std::string, std::string>> headers;  // host, x-amz-*, content-*, ...
    std::string payloadHash;  // hex SHA-256 of the body, or kUnsignedPayload
    std::string accessKey;
    std::string secretKey;
    std::string region;
    std::string service = "s3";
    std::chrono::system_clock::time_point time;
};

struct Signature {
    std::string amzDate;  // "20130524T000000Z", to send as x-amz-date
    std::string canonicalRequest;
    std::string stringToSign;
    std::string signature;      // hex
    std::string authorization;  // the Authorization header's value
};

// `input.headers` must already hold "host", "x-amz-date" (equal to the time's amzDate) and
// "x-amz-content-sha256"; every header given is signed. Never throws: if the crypto library
// fails, `signature` and `authorization` come back empty.
Signature signV4(const SigningInput& input);

// The query parameters that presign `input` for `expires` from its time, encoded and joined
// with '&', X-Amz-Signature last; a URL with them added needs no keys. `input.headers` holds
// just "host", `input.payloadHash` is kUnsignedPayload, and `securityToken`, when not empty, is
// signed along. Empty if the crypto library fails.
std::string presignedQuery(SigningInput input, std::chrono::seconds expires,
                           const std::string& securityToken);

// The hex signature of a string to sign, under the key that `input`'s secret key, time, region
// and service make; empty if the crypto library fails.
std::string signatureOf(std::string_view stringToSign, const SigningInput& input);
// "<access key>/<date>/<region>/<service>/aws4_request", as credentials are named.
std::string credential(const SigningInput& input);

// "20130524T000000Z" for a time point, in UTC.
std::string amzDate(std::chrono::system_clock::time_point time);

}  // namespace quilo::detail
