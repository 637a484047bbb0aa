// The clients measured beside quilo, each configured for the run's endpoint from temporary
// files and variables only: nothing under ~ is read, since HOME points into the scratch folder.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "Process.hpp"

namespace bench {

enum class Tool { quilo, curl, s3cmd, rclone, aws, libs3 };

struct Binary {
    std::string name;     // as the rows call it
    std::string path;     // empty when absent
    std::string version;  // first line of what it says about itself
};

struct Credentials {
    std::string endpoint;  // host:port, plain HTTP
    std::string accessKey, secretKey, region;
};

class Peers {
  public:
    // quiloTool: the tool's path. Writes the configuration files into scratch.
    Peers(const Credentials& credentials, const std::string& quiloTool, const std::string& scratch);

    const Binary& binary(Tool tool) const { return binaries_[static_cast<std::size_t>(tool)]; }
    bool has(Tool tool) const { return !binary(tool).path.empty(); }
    // The tool with its configuration, then args.
    Command run(Tool tool, const std::vector<std::string>& args) const;
    // curl -T with its payload's SHA-256 signed: the hashing runs first, inside the same
    // measured child, so its time counts.
    Command curlSignedPut(const std::string& file, const std::string& url) const;
    Command curlUnsignedPut(const std::string& file, const std::string& url) const;
    std::string url(const std::string& path) const;  // http://endpoint/path
    const Credentials& credentials() const { return credentials_; }
    // The binaries and versions compared, one line each.
    void describe() const;

  private:
    void writeConfigs();
    Credentials credentials_;
    std::string scratch_;
    std::array<Binary, 6> binaries_;
};

// Whether the quilo tool has a command: "sync", or "put -r" for a flag of a command.
bool quiloHas(const Peers& peers, const std::string& command);

}  // namespace bench
