#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quilo::test {

// A server the integration tests talk to, as scripts/servers.sh describes it in the environment.
struct Server {
    std::string name;
    std::string host;  // "host:port"
    std::string accessKey;
    std::string secretKey;
    std::string region;
    std::string caFile{};  // the CA that signed the server's certificate (HTTPS only)
    std::string userId{};  // the canonical id of the keys' owner, when the server has users
    bool https = false;
    bool virtualHosted = false;  // buckets named in the host

    std::string endpoint() const { return (https ? "https://" : "http://") + host; }
};

// Each throws, failing the test that asks, when a variable is missing: tests never skip
// silently because the servers are not running.
Server rgw();
Server rgwHttps();
Server rgwOther();    // RGW over HTTP with the second user's keys
Server rgwVirtual();  // RGW at localhost:<port>, buckets in the host name
Server rgwSts();      // the RGW that issues and accepts temporary credentials, its user's keys
Server s3rver();

// Points the library at `server`: default host, region, addressing style and CA file, and the
// shared client's globleConfig() with the server's keys and scheme.
void useServer(const Server& server);

// A valid bucket name that no other process or run will choose: `prefix` (lower-cased, other
// characters turned into '-'), then time, process id and a counter.
std::string uniqueBucketName(std::string_view prefix);

struct RunResult {
    int exitCode = -1;  // -1 when the program could not be started or did not exit normally
    std::string out;
    std::string err;
};

// Runs a program without a shell (searched in PATH) and waits for it. `environment` replaces
// the process's environment when not empty ("NAME=value" entries).
RunResult run(const std::vector<std::string>& argv,
              const std::vector<std::string>& environment = {});

// awscli (`program`) against `server`, with its keys and region and no user configuration files:
//     aws(rgw(), {"s3api", "create-bucket", "--bucket", name})
RunResult aws(const Server& server, const std::vector<std::string>& args,
              const std::string& program = "aws");

}  // namespace quilo::test
