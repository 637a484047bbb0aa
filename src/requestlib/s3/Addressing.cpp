#include "requestlib/s3/Addressing.hpp"

#include <algorithm>
#include <cctype>

#include "quilo/requestlib/s3/S3Request.hpp"
#include "requestlib/base/Errors.hpp"
#include "requestlib/base/Text.hpp"
#include "requestlib/encoding/UriEncoding.hpp"

namespace quilo::detail {
namespace {

constexpr std::string_view kAwsDomain = ".amazonaws.com";
constexpr std::size_t kMaxRegionName = 32;

// "host" of "host:port"; a bracketed IPv6 address keeps its brackets.
std::string hostName(std::string_view authority) {
    const auto colon = authority.rfind(':');
    const bool port = colon != std::string_view::npos && !authority.ends_with(']');
    return toLower(port ? authority.substr(0, colon) : authority);
}

bool isAws(std::string_view authority) {
    return hostName(authority).ends_with(kAwsDomain);
}

bool isLabel(std::string_view label) {
    return !label.empty() && label.front() != '-' && label.back() != '-' &&
           std::all_of(label.begin(), label.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
           });
}

// A wildcard certificate covers one label, so over HTTPS a dotted name cannot lead the host.
bool canBeHostLabel(std::string_view bucket, bool https) {
    if (bucket.size() < 3 || bucket.size() > 63)
        return false;
    for (std::size_t start = 0;;) {
        const auto dot = bucket.find('.', start);
        if (!isLabel(bucket.substr(start, dot == std::string_view::npos ? dot : dot - start)))
            return false;
        if (dot == std::string_view::npos)
            return true;
        if (https)
            return false;
        start = dot + 1;
    }
}

// Whether the request's bucket goes in the host; an error when it must and cannot.
std::variant<bool, Error> inHost(const S3Request& request) {
    const std::string bucket = request.bucket().value_or("");
    if (bucket.empty())
        return false;
    const bool fits = canBeHostLabel(bucket, request.requestScheme() == S3RequestSchemeHTTPS);
    switch (S3Request::defaultAddressingStyle()) {
        case AddressingStyle::path:
            return false;
        case AddressingStyle::automatic:
            return fits && isAws(request.host());
        case AddressingStyle::virtualHosted:
            break;
    }
    if (fits)
        return true;
    return misuse(Code::InvalidBucketName,
                  "the bucket name \"" + bucket +
                      "\" cannot be a host name label, as virtual-hosted addressing needs: "
                      "3 to 63 lower-case letters, digits and hyphens (dots only over http)");
}

// Where the request's bucket lives in `region`: AWS's regional endpoint for an amazonaws.com
// host that does not name that region already; any other host serves all its regions itself.
std::string regionalHost(const std::string& host, const std::string& region) {
    if (!isAws(host) || regionNamedBy(host) == region)
        return host;
    return "s3." + region + std::string(kAwsDomain);
}

// "scheme://authority" and the path of the request's resource in `region`. A host written as
// a URL would go to a host named "http".
std::variant<std::pair<std::string, std::string>, Error> address(const S3Request& request,
                                                                 const std::string& region) {
    const std::string host = request.host();
    if (host.empty() || host.find_first_of("/?#@ ") != std::string::npos)
        return misuse(Code::InvalidHost, "the host \"" + host +
                                             "\" is not \"name\" or \"name:port\" (the scheme "
                                             "is the request's own)");
    auto virtualHosted = inHost(request);
    if (auto* error = std::get_if<Error>(&virtualHosted))
        return std::move(*error);
    std::string origin = request.requestScheme() + "://";
    const std::string bucket = request.bucket().value_or(""), key = request.key().value_or("");
    if (std::get<bool>(virtualHosted))
        return std::pair(origin + bucket + "." + regionalHost(request.host(), region),
                         encodedPath("", key));
    return std::pair(origin + regionalHost(request.host(), region), encodedPath(bucket, key));
}

}  // namespace

std::variant<std::string, Error> resourceURL(const S3Request& request, const Query& query) {
    auto where = address(request, request.region());
    if (auto* error = std::get_if<Error>(&where))
        return std::move(*error);
    auto [origin, path] = std::get<std::pair<std::string, std::string>>(std::move(where));
    std::string url = origin + path;
    char separator = '?';
    for (const auto& [name, value] : query) {
        url += separator;
        url += uriEncode(name);
        // A bare sub-resource ("?acl") is written as servers expect; it is signed as "acl=".
        if (!value.empty())
            url.append("=").append(uriEncode(value));
        separator = '&';
    }
    return url;
}

std::string inRegion(const S3Request& request, const std::string& url, const std::string& region) {
    const auto sent = parseUrl(url);
    const bool ownURL = request.url() && !request.url()->empty();
    if (!sent || ownURL || !isAws(request.host()))
        return url;
    const auto where = address(request, region);
    if (std::holds_alternative<Error>(where))
        return url;
    // The path and query stay: only the host changes with the region.
    const std::size_t originSize = sent->scheme.size() + 3 + sent->authority.size();
    return std::get<std::pair<std::string, std::string>>(where).first + url.substr(originSize);
}

std::optional<std::string> regionNamedBy(std::string_view host) {
    std::string name = hostName(host);
    if (!name.ends_with(kAwsDomain))
        return std::nullopt;
    name.resize(name.size() - kAwsDomain.size());
    // The label before the domain: "s3", "s3-eu-west-1", or the region of "s3.eu-west-1" and
    // "s3.dualstack.eu-west-1".
    std::string_view label = std::string_view(name).substr(name.rfind('.') + 1);
    if (label == "s3" || label == "s3-external-1")
        return "us-east-1";
    if (label.starts_with("s3-"))
        label.remove_prefix(3);
    const bool region = label.find('-') != std::string_view::npos &&
                        std::isdigit(static_cast<unsigned char>(label.back())) &&
                        isRegionName(label);
    return region ? std::optional<std::string>(label) : std::nullopt;
}

bool isRegionName(std::string_view region) {
    return region.size() <= kMaxRegionName && isLabel(region);
}

}  // namespace quilo::detail
