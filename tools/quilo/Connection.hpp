#pragma once

#include <string>

namespace quilo::cli {

// Where and as whom to connect. Filled from the flags, or else from the environment variables
// awscli users already have.
struct Connection {
    std::string endpoint;  // "http://host:port", "https://host" or "host:port"
    std::string region;
    std::string accessKey;
    std::string secretKey;
    bool ssl = false;
    std::string caFile;
    int jobs = 4;
};

// Sets the library's process-wide endpoint, region and CA file, and the shared client's keys,
// scheme and concurrency. Throws UsageError when the settings contradict each other.
void applyConnection(const Connection& connection);

}  // namespace quilo::cli
