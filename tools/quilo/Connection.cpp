#include "Connection.hpp"

#include <cstdlib>

#include <quilo/quilo.hpp>

#include "S3Url.hpp"

namespace quilo::cli {

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

}  // namespace

void applyConnection(const Connection& connection) {
    std::string host = connection.endpoint;
    bool useSSL = connection.ssl;
    if (host.empty()) {
        useSSL = true;  // the library's default host is AWS itself: never in the clear
    } else if (host.starts_with("https://")) {
        host.erase(0, 8);
        useSSL = true;
    } else if (host.starts_with("http://")) {
        if (connection.ssl) {
            throw UsageError("--ssl contradicts the http:// endpoint " + connection.endpoint);
        }
        host.erase(0, 7);
    } else if (host.find("://") != std::string::npos) {
        throw UsageError("endpoint " + connection.endpoint + " is neither http:// nor https://");
    }
    while (host.ends_with('/')) {
        host.pop_back();
    }
    if (host.find('/') != std::string::npos || (host.empty() && !connection.endpoint.empty())) {
        throw UsageError("endpoint " + connection.endpoint +
                         " must be a scheme, a host and a port only");
    }
    if (connection.accessKey.empty() != connection.secretKey.empty()) {
        throw UsageError("give both the access key and the secret key, or neither");
    }

    if (!host.empty()) {
        S3Request::setDefaultHost(host);
    }
    std::string region = connection.region;
    if (region.empty()) {
        region = environment("AWS_DEFAULT_REGION");
    }
    if (!region.empty()) {
        S3Request::setDefaultRegion(region);
    }
    if (!connection.caFile.empty()) {
        HTTPRequest::setDefaultCAFile(connection.caFile);
    }
    // Without keys the requests go unsigned, as anonymous reads of public objects need.
    Quilo::GlobalConfig(
        connection.accessKey.empty() ? std::nullopt : std::optional(connection.accessKey),
        connection.secretKey.empty() ? std::nullopt : std::optional(connection.secretKey), useSSL,
        connection.jobs);
}

}  // namespace quilo::cli
