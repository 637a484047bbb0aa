// Presigned URLs and forms: a request signed in its query, or a form's upload signed in its
// fields, handed out rather than sent.
#include <algorithm>
#include <array>
#include <cstdio>
#include <mutex>

#include "quilo/requestlib/s3/S3BucketRequest.hpp"
#include "quilo/requestlib/s3/S3Request.hpp"
#include "requestlib/base/Text.hpp"
#include "requestlib/encoding/Crypto.hpp"
#include "requestlib/encoding/UriEncoding.hpp"
#include "requestlib/s3/Addressing.hpp"
#include "requestlib/signing/SigV4.hpp"

namespace quilo {
namespace {

constexpr std::array<std::string_view, 4> kMethods = {"GET", "PUT", "HEAD", "DELETE"};
// The longest a SigV4 signature in a query may be valid.
constexpr std::chrono::seconds kMaxExpiry = std::chrono::days(7);

bool validExpiry(std::chrono::seconds expires) {
    return expires >= std::chrono::seconds(1) && expires <= kMaxExpiry;
}

// The form fields that the signature sets, or that the service reads as the form's own.
constexpr std::array<std::string_view, 9> kReservedFields = {"bucket",
                                                             "file",
                                                             "key",
                                                             "policy",
                                                             "x-amz-algorithm",
                                                             "x-amz-credential",
                                                             "x-amz-date",
                                                             "x-amz-signature",
                                                             "x-amz-security-token"};

bool isReserved(std::string_view field) {
    return field.empty() ||
           std::any_of(kReservedFields.begin(), kReservedFields.end(), [&](std::string_view name) {
               return detail::equalsIgnoringCase(name, field);
           });
}

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out.append(1, '\\').append(1, c);
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string exactly(std::string_view field, std::string_view value) {
    return std::string("{").append(jsonString(field)).append(":").append(jsonString(value)) + "}";
}

std::string startingWith(std::string_view field, std::string_view prefix) {
    return std::string("[\"starts-with\",")
        .append(jsonString(std::string("$").append(field)))
        .append(",")
        .append(jsonString(prefix))
        .append("]");
}

// "2026-12-07T18:00:00Z" for the "20261207T180000Z" that SigV4 writes.
std::string isoTime(std::chrono::system_clock::time_point time) {
    std::string text = detail::amzDate(time);
    for (const std::size_t at : {13u, 11u})
        text.insert(at, 1, ':');
    for (const std::size_t at : {6u, 4u})
        text.insert(at, 1, '-');
    return text;
}

// The policy's conditions, one for each field of the form that `fields` holds in full, joined
// with commas.
std::string conditions(const S3PostPolicy& policy, const std::string& bucket,
                       const std::vector<std::pair<std::string, std::string>>& fields) {
    constexpr std::string_view kFileName = "${filename}";
    std::vector<std::string> all = {exactly("bucket", bucket)};
    for (const auto& [name, value] : fields) {
        if (name == "key" && value.ends_with(kFileName))
            all.push_back(startingWith(name, value.substr(0, value.size() - kFileName.size())));
        else
            all.push_back(exactly(name, value));
    }
    for (const auto& [name, prefix] : policy.startsWith)
        all.push_back(startingWith(name, prefix));
    if (const auto& range = policy.contentLength)
        all.push_back(std::string("[\"content-length-range\",")
                          .append(std::to_string(range->first))
                          .append(",")
                          .append(std::to_string(range->second))
                          .append("]"));
    std::string out;
    for (const auto& condition : all)
        out.append(out.empty() ? "" : ",").append(condition);
    return out;
}

}  // namespace

bool S3Request::canSign() const {
    std::lock_guard lock(stateMutex_);
    return state_ == State::ready && !pendingError_ && accessKey_ && secretKey_;
}

std::optional<std::string> S3Request::presignedURL(std::string_view method,
                                                   std::chrono::seconds expires) const {
    try {
        if (!canSign() || !validExpiry(expires) ||
            std::find(kMethods.begin(), kMethods.end(), method) == kMethods.end())
            return std::nullopt;
        const auto built = detail::resourceURL(*this, query_);
        const auto* url = std::get_if<std::string>(&built);
        const auto parts = url ? detail::parseUrl(*url) : std::nullopt;
        if (!parts)
            return std::nullopt;
        detail::SigningInput input{.method = std::string(method),
                                   .encodedPath = parts->path,
                                   .query = detail::decodeQuery(parts->query),
                                   .headers = {{"host", detail::hostHeader(*parts)}},
                                   .payloadHash = detail::kUnsignedPayload,
                                   .accessKey = *accessKey_,
                                   .secretKey = *secretKey_,
                                   .region = region(),
                                   .time = std::chrono::system_clock::now()};
        const std::string query =
            detail::presignedQuery(std::move(input), expires, sessionToken_.value_or(""));
        if (query.empty())
            return std::nullopt;
        return *url + (parts->query.empty() ? '?' : '&') + query;
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace quilo

namespace quilo {

std::optional<S3PostForm> S3BucketRequest::presignedPost(const S3PostPolicy& policy) const {
    try {
        const bool fieldsFree =
            std::none_of(policy.fields.begin(), policy.fields.end(),
                         [](const auto& field) { return isReserved(field.first); }) &&
            std::none_of(policy.startsWith.begin(), policy.startsWith.end(), [](const auto& field) {
                return field.first != "key" && isReserved(field.first);
            });
        const auto& range = policy.contentLength;
        if (!canSign() || !validExpiry(policy.expires) || policy.key.empty() || !fieldsFree ||
            (range && range->first > range->second))
            return std::nullopt;
        const auto url = detail::resourceURL(*this, {});
        if (!std::holds_alternative<std::string>(url))
            return std::nullopt;
        detail::SigningInput input;
        input.accessKey = *accessKey();
        input.secretKey = *secretAccessKey();
        input.region = region();
        input.time = std::chrono::system_clock::now();
        S3PostForm form{.url = std::get<std::string>(url), .fields = {{"key", policy.key}}};
        form.fields.insert(form.fields.end(), policy.fields.begin(), policy.fields.end());
        form.fields.emplace_back("x-amz-algorithm", detail::kSigningAlgorithm);
        form.fields.emplace_back("x-amz-credential", detail::credential(input));
        form.fields.emplace_back("x-amz-date", detail::amzDate(input.time));
        if (sessionToken())
            form.fields.emplace_back("x-amz-security-token", *sessionToken());
        const std::string document =
            "{\"expiration\":" + jsonString(isoTime(input.time + policy.expires)) +
            ",\"conditions\":[" + conditions(policy, *bucket(), form.fields) + "]}";
        const std::string encoded = detail::base64Encode(document);
        const std::string signature = detail::signatureOf(encoded, input);
        if (encoded.empty() || signature.empty())
            return std::nullopt;
        form.fields.emplace_back("policy", encoded);
        form.fields.emplace_back("x-amz-signature", signature);
        return form;
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace quilo
