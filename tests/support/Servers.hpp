#pragma once

#include <filesystem>
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

// This process's environment without the AWS_ settings of whoever runs the tests, after `extra`,
// which wins.
std::vector<std::string> environmentWith(const std::vector<std::string>& extra);

// Runs a program without a shell (searched in PATH) and waits for it. `environment` replaces
// the process's environment when not empty ("NAME=value" entries).
RunResult run(const std::vector<std::string>& argv,
              const std::vector<std::string>& environment = {});

// awscli (`program`) against `server`, with its keys and region and no user configuration files:
//     aws(rgw(), {"s3api", "create-bucket", "--bucket", name})
RunResult aws(const Server& server, const std::vector<std::string>& args,
              const std::string& program = "aws");

// `size` bytes from a generator seeded with `seed`, so that a part out of place shows.
std::string randomBytes(std::size_t size, unsigned seed = 1);
std::string readFile(const std::filesystem::path& path);

// A folder of the test's own, removed with the object.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Writes `content` to a file of the folder; its path.
    std::string file(const std::string& name, const std::string& content) const;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

}  // namespace quilo::test
