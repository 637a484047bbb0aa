// What the examples share: the endpoint and keys from the variables awscli users have.
#pragma once

#include <cstdlib>
#include <string>

#include <quilo/quilo.hpp>

namespace example {

// AWS_ENDPOINT_URL (such as http://127.0.0.1:7480; https:// switches to HTTPS),
// AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY; false when one is missing.
inline bool configureFromEnvironment() {
    const char* url = std::getenv("AWS_ENDPOINT_URL");
    const char* accessKey = std::getenv("AWS_ACCESS_KEY_ID");
    const char* secretKey = std::getenv("AWS_SECRET_ACCESS_KEY");
    if (!url || !accessKey || !secretKey) {
        return false;
    }
    std::string host = url;
    const bool useSSL = host.starts_with("https://");
    if (const auto scheme = host.find("://"); scheme != std::string::npos) {
        host.erase(0, scheme + 3);
    }
    if (host.ends_with('/')) {
        host.pop_back();
    }
    quilo::S3Request::setDefaultHost(host);
    quilo::Quilo::GlobalConfig(accessKey, secretKey, useSSL);
    return !host.empty();
}

}  // namespace example
