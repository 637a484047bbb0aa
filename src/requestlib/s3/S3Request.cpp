#include "quilo/requestlib/s3/S3Request.hpp"

#include <atomic>
#include <mutex>

#include "requestlib/base/Errors.hpp"
#include "requestlib/base/Text.hpp"
#include "requestlib/encoding/Crypto.hpp"
#include "requestlib/s3/Addressing.hpp"
#include "requestlib/s3/BucketRegions.hpp"
#include "requestlib/s3/S3Headers.hpp"
#include "requestlib/s3/S3Kind.hpp"
#include "requestlib/s3/S3Protocol.hpp"
#include "requestlib/s3/S3Xml.hpp"

namespace quilo {
namespace {

std::mutex gEndpointMutex;
std::string gDefaultHost = "s3.amazonaws.com";
std::optional<std::string> gDefaultRegion;  // none: the host's, else kFallbackRegion
std::atomic<AddressingStyle> gAddressingStyle{AddressingStyle::automatic};

constexpr std::string_view kFallbackRegion = "us-east-1";

// The process-wide region as set; none when it is left to the host.
std::optional<std::string> regionSet() {
    std::lock_guard lock(gEndpointMutex);
    return gDefaultRegion;
}

std::string regionOfHost(const std::string& host) {
    return detail::regionNamedBy(host).value_or(std::string(kFallbackRegion));
}

constexpr std::string_view kMetaPrefix = "x-amz-meta-";

}  // namespace

S3Request::S3Request() {
    protocol_ = &detail::S3Protocol::instance();
}

S3Request::S3Request(std::optional<std::string> url) : HTTPRequest(std::move(url)) {
    protocol_ = &detail::S3Protocol::instance();
}

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
    gDefaultRegion = region.empty() ? std::nullopt : std::optional(std::move(region));
}

std::string S3Request::defaultRegion() {
    auto region = regionSet();
    return region ? *region : regionOfHost(defaultHost());
}

void S3Request::setDefaultAddressingStyle(AddressingStyle style) {
    gAddressingStyle = style;
}

AddressingStyle S3Request::defaultAddressingStyle() {
    return gAddressingStyle;
}

void S3Request::setAccessKey(std::string accessKey) {
    if (state() == State::ready)
        accessKey_ = std::move(accessKey);
}

void S3Request::setSecretAccessKey(std::string secretKey) {
    if (state() == State::ready)
        secretKey_ = std::move(secretKey);
}

void S3Request::setSessionToken(std::optional<std::string> token) {
    if (state() != State::ready)
        return;
    if (token && !detail::isSafeHeaderValue(*token))
        return failBeforeSending(
            detail::misuse(detail::Code::InvalidHeader, "the session token holds a line break"));
    sessionToken_ = std::move(token);
}

void S3Request::setRequestScheme(std::string_view scheme) {
    if (state() != State::ready)
        return;
    if (scheme != S3RequestSchemeHTTP && scheme != S3RequestSchemeHTTPS)
        return failBeforeSending(detail::misuse(
            detail::Code::InvalidScheme,
            std::string("\"").append(scheme).append("\" is neither http nor https")));
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
    const std::string endpoint = host();
    if (bucket_ && !bucket_->empty())
        if (auto known = detail::BucketRegions::find(endpoint, *bucket_))
            return *known;
    if (region_)
        return *region_;
    auto region = regionSet();
    return region ? *region : regionOfHost(endpoint);
}

void S3Request::setQueryParameter(std::string name, std::string value) {
    query_.emplace_back(std::move(name), std::move(value));
}

void S3Request::setKind(const detail::S3Kind& kind) {
    kind_ = &kind;
    setRequestMethod(std::string(kind.method));
    if (kind.subresource)
        setQueryParameter(kind.subresource, "");
}

void S3Request::refuseWithoutValue() {
    if (kind_ && kind_->takesValue)
        failBeforeSending(detail::misuse(detail::Code::InvalidParameter,
                                         "this request sends a value: make it with its factory"));
}

void S3Request::setGrants(const AclMap& acl) {
    detail::HeaderList headers;
    if (auto error = detail::grantHeaders(acl, headers))
        return failBeforeSending(std::move(*error));
    for (auto& [name, value] : headers)
        addRequestHeader(std::move(name), std::move(value));
}

void S3Request::setDocument(std::string body, std::string_view contentType) {
    if (contentType == "application/xml" && !detail::isXmlText(body))
        return failBeforeSending(detail::misuse(
            detail::Code::InvalidParameter,
            "the value holds what XML cannot carry: a control character or bytes not UTF-8"));
    addRequestHeader("Content-MD5", detail::md5Base64(body));
    addRequestHeader("Content-Type", std::string(contentType));
    setPostBody(std::move(body));
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

}  // namespace quilo
