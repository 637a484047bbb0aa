#include "quilo/requestlib/S3Request.hpp"

#include <mutex>

#include "requestlib/Attempt.hpp"
#include "requestlib/Crypto.hpp"
#include "requestlib/S3Headers.hpp"
#include "requestlib/S3Xml.hpp"
#include "requestlib/SigV4.hpp"
#include "requestlib/Text.hpp"
#include "requestlib/UriEncoding.hpp"

namespace quilo {
namespace {

std::mutex gEndpointMutex;
std::string gDefaultHost = "s3.amazonaws.com";
std::string gDefaultRegion = "us-east-1";

constexpr std::string_view kMetaPrefix = "x-amz-meta-";

struct URLParts {
    std::string scheme, authority, path, query;
};

URLParts split(std::string_view url) {
    URLParts parts;
    auto schemeEnd = url.find("://");
    if (schemeEnd == std::string_view::npos)
        return parts;
    parts.scheme = detail::toLower(url.substr(0, schemeEnd));
    url.remove_prefix(schemeEnd + 3);
    auto pathStart = url.find_first_of("/?");
    parts.authority = url.substr(0, pathStart);
    if (pathStart == std::string_view::npos) {
        parts.path = "/";
        return parts;
    }
    url.remove_prefix(pathStart);
    auto queryStart = url.find('?');
    parts.path = url.substr(0, queryStart);
    if (parts.path.empty())
        parts.path = "/";
    if (queryStart != std::string_view::npos)
        parts.query = url.substr(queryStart + 1);
    return parts;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
            hexValue(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> decodeQuery(std::string_view query) {
    std::vector<std::pair<std::string, std::string>> parameters;
    while (!query.empty()) {
        auto end = query.find('&');
        std::string_view item = query.substr(0, end);
        if (!item.empty()) {
            auto equals = item.find('=');
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

// The Host header as curl would send it: without the scheme's default port.
std::string hostHeader(const URLParts& url) {
    std::string_view authority = url.authority;
    if ((url.scheme == "http" && authority.ends_with(":80")) ||
        (url.scheme == "https" && authority.ends_with(":443")))
        authority.remove_suffix(authority.size() - authority.rfind(':'));
    return std::string(authority);
}

bool isSignedHeader(std::string_view name) {
    return detail::toLower(name).starts_with("x-amz-") ||
           detail::equalsIgnoringCase(name, "content-type") ||
           detail::equalsIgnoringCase(name, "content-md5");
}

std::string codeForStatus(int status) {
    switch (status) {
        case 301:
            return "PermanentRedirect";
        case 307:
            return "TemporaryRedirect";
        case 400:
            return "BadRequest";
        case 403:
            return "AccessDenied";
        case 404:
            return "NotFound";
        case 405:
            return "MethodNotAllowed";
        case 409:
            return "Conflict";
        case 412:
            return "PreconditionFailed";
        case 501:
            return "NotImplemented";
        case 503:
            return "ServiceUnavailable";
        default:
            return status >= 500 ? "InternalError" : "HTTP" + std::to_string(status);
    }
}

}  // namespace

S3Request::S3Request() = default;

S3Request::S3Request(std::optional<std::string> url) : HTTPRequest(std::move(url)) {}

S3Request::~S3Request() = default;

void S3Request::setDefaultHost(std::string host) {
    std::lock_guard lock(gEndpointMutex);
    gDefaultHost = std::move(host);
}

std::string S3Request::defaultHost() {
    std::lock_guard lock(gEndpointMutex);
    return gDefaultHost;
}

void S3Request::setDefaultRegion(std::string region) {
    std::lock_guard lock(gEndpointMutex);
    gDefaultRegion = std::move(region);
}

std::string S3Request::defaultRegion() {
    std::lock_guard lock(gEndpointMutex);
    return gDefaultRegion;
}

void S3Request::setAccessKey(std::string accessKey) {
    if (state() == State::ready)
        accessKey_ = std::move(accessKey);
}

void S3Request::setSecretAccessKey(std::string secretKey) {
    if (state() == State::ready)
        secretKey_ = std::move(secretKey);
}

void S3Request::setRequestScheme(std::string_view scheme) {
    if (state() != State::ready)
        return;
    if (scheme != S3RequestSchemeHTTP && scheme != S3RequestSchemeHTTPS) {
        failBeforeSending(Error{ErrorKind::misuse,
                                "InvalidScheme",
                                "\"" + std::string(scheme) + "\" is neither http nor https",
                                0,
                                {}});
        return;
    }
    scheme_ = std::string(scheme);
}

void S3Request::setHost(std::string host) {
    if (state() == State::ready)
        host_ = std::move(host);
}

std::string S3Request::host() const {
    return host_ ? *host_ : defaultHost();
}

void S3Request::setRegion(std::string region) {
    if (state() == State::ready)
        region_ = std::move(region);
}

std::string S3Request::region() const {
    return region_ ? *region_ : defaultRegion();
}

void S3Request::setQueryParameter(std::string name, std::string value) {
    query_.emplace_back(std::move(name), std::move(value));
}

void S3Request::setVerb(std::string method, const char* subresource) {
    setRequestMethod(std::move(method));
    if (subresource)
        setQueryParameter(subresource, "");
}

void S3Request::setGrants(const AclMap& acl) {
    detail::HeaderList headers;
    if (auto error = detail::grantHeaders(acl, headers)) {
        failBeforeSending(std::move(*error));
        return;
    }
    for (auto& [name, value] : headers)
        addRequestHeader(std::move(name), std::move(value));
}

StringMap S3Request::metadata() const {
    StringMap metadata;
    for (const auto& [name, value] : responseHeaders()) {
        if (name.size() > kMetaPrefix.size() &&
            detail::equalsIgnoringCase(std::string_view(name).substr(0, kMetaPrefix.size()),
                                       kMetaPrefix))
            metadata[detail::toLower(name.substr(kMetaPrefix.size()))] = value;
    }
    return metadata;
}

std::string S3Request::resourceURL(
    const std::vector<std::pair<std::string, std::string>>& query) const {
    std::string url =
        scheme_ + "://" + host() + detail::encodedPath(bucket_.value_or(""), key_.value_or(""));
    char separator = '?';
    for (const auto& [name, value] : query) {
        url += separator;
        url += detail::uriEncode(name);
        // A bare sub-resource ("?acl") is written as servers expect; it is signed as "acl=".
        if (!value.empty())
            url += "=" + detail::uriEncode(value);
        separator = '&';
    }
    return url;
}

std::optional<Error> S3Request::prepareAttempt(detail::AttemptSpec& attempt) {
    if (!attempt.redirectURL.empty())
        attempt.url = attempt.redirectURL;
    else if (!url() || url()->empty())
        attempt.url = resourceURL();
    if (auto error = HTTPRequest::prepareAttempt(attempt))
        return error;
    return signAttempt(attempt);
}

std::optional<Error> S3Request::signAttempt(detail::AttemptSpec& attempt) const {
    if (accessKey_.has_value() != secretKey_.has_value())
        return Error{ErrorKind::misuse,
                     "IncompleteCredentials",
                     accessKey_ ? "an access key was given without a secret key"
                                : "a secret key was given without an access key",
                     0,
                     {}};
    URLParts parts = split(attempt.url);
    if (parts.authority.empty())
        return Error{
            ErrorKind::misuse, "InvalidURL", "\"" + attempt.url + "\" is not a URL", 0, {}};
    attempt.headers.emplace_back("Host", hostHeader(parts));
    if (!accessKey_)
        return std::nullopt;  // anonymous

    std::string payloadHash = attempt.body == detail::AttemptSpec::Body::file
                                  ? detail::kUnsignedPayload
                                  : detail::sha256Hex(attempt.bodyData);
    auto now = std::chrono::system_clock::now();
    std::string date = detail::amzDate(now);
    attempt.headers.emplace_back("x-amz-date", date);
    attempt.headers.emplace_back("x-amz-content-sha256", payloadHash);

    detail::SigningInput input;
    input.method = attempt.method;
    input.encodedPath = parts.path;
    input.query = decodeQuery(parts.query);
    for (const auto& header : attempt.headers)
        if (isSignedHeader(header.first) || detail::equalsIgnoringCase(header.first, "host"))
            input.headers.push_back(header);
    input.payloadHash = payloadHash;
    input.accessKey = *accessKey_;
    input.secretKey = *secretKey_;
    input.region = attempt.regionHint.empty() ? region() : attempt.regionHint;
    input.time = now;
    auto signature = detail::signV4(input);
    if (signature.authorization.empty())
        return Error{
            ErrorKind::transport, "SigningFailed", "the request could not be signed", 0, {}};
    attempt.headers.emplace_back("Authorization", std::move(signature.authorization));
    return std::nullopt;
}

Error S3Request::errorForResponse() const {
    Error error{
        ErrorKind::service, codeForStatus(responseStatusCode()), {}, responseStatusCode(), {}};
    auto document = detail::parseErrorDocument(responseData());
    if (document.value) {
        if (!document.value->code.empty())
            error.code = document.value->code;
        error.message = document.value->message;
        error.requestId = document.value->requestId;
    }
    if (error.message.empty())
        error.message = "the service answered HTTP " + std::to_string(responseStatusCode());
    if (error.requestId.empty()) {
        auto id = responseHeaders().find("x-amz-request-id");
        if (id != responseHeaders().end())
            error.requestId = id->second;
    }
    return error;
}

}  // namespace quilo
