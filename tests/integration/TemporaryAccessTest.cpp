// Access without the keys themselves: presigned URLs fetched by plain curl, and temporary
// credentials issued by RGW's STS.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "integration/Blocking.hpp"
#include "quilo/quilo.hpp"

namespace quilo {
namespace {

// curl with no keys: the HTTP status, the body in `into`; a PUT of the file `upload` if given.
int curl(const std::string& url, const std::string& into, const std::string& upload = "") {
    std::vector<std::string> argv = {"curl", "-sg", "-o", into, "-w", "%{http_code}", url};
    if (!upload.empty())
        argv.insert(argv.end(), {"-T", upload});
    const auto result = test::run(argv);
    return result.exitCode == 0 ? std::stoi(result.out) : -result.exitCode;
}

std::string link(Quilo& client, const std::string& bucket, const std::string& key,
                 const std::string& method = "GET", const std::string& expires = "60") {
    return client
        .presignedURL(
            {{"bucket", bucket}, {"key", key}, {"method", method}, {"expiresSeconds", expires}})
        .value_or("none");
}

// Bytes that nothing on the way may change.
const std::string kBytes("\0\x01\x7f\x80\xff\r\n\r\n +%", 12);

TEST(Presigned, CurlGetsAndPutsTheExactBytesUntilTheURLExpires) {
    test::Scratch s(test::rgw());
    const auto got = (s.dir / "got").string();
    for (const std::string key : {"plain", "with space", "one+two", "100%", "~a", "ключ/日本 ✓"}) {
        SCOPED_TRACE(key);
        ASSERT_TRUE(test::upload(s.client, s.bucket(), key, s.file("up", key + kBytes)).ok());
        EXPECT_EQ(curl(link(s.client, s.bucket(), key), got), 200);
        EXPECT_EQ(test::readFile(got), key + kBytes);
        EXPECT_EQ(curl(link(s.client, s.bucket(), key, "PUT"), got, s.file("put", kBytes + key)),
                  200);
        const auto fetched = test::download(s.client, s.bucket(), key);
        EXPECT_TRUE(fetched.ok() && fetched.request()->responseData() == kBytes + key);
    }
    // One character changed in the key, and the signature no longer fits.
    std::string changed = link(s.client, s.bucket(), "plain");
    changed[changed.find("plain")] = 'P';
    EXPECT_EQ(curl(changed, got), 403) << changed;
    const auto brief = link(s.client, s.bucket(), "plain", "GET", "2");
    EXPECT_EQ(curl(brief, got), 200);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_EQ(curl(brief, got), 403);
}

// Keys, secret and token from `aws sts get-session-token`: with the token in the configuration
// they list, upload, copy, download and presign; without it the service refuses them.
TEST(TemporaryCredentials, WorkWithTheirTokenAndNotWithout) {
    test::Scratch s(test::rgwSts());
    const auto issued =
        test::aws(s.server,
                  {"sts", "get-session-token", "--query",
                   "Credentials.[AccessKeyId,SecretAccessKey,SessionToken]", "--output", "text"},
                  "/usr/bin/aws");
    ASSERT_EQ(issued.exitCode, 0) << issued.err;
    std::string accessKey, secretKey, token;
    std::istringstream(issued.out) >> accessKey >> secretKey >> token;
    s.client.globleConfig()->insert_or_assign("sessionToken", Value(token));
    Quilo::GlobalConfig(accessKey, secretKey);  // keeps the token

    const auto listed = test::listBuckets(s.client);
    ASSERT_TRUE(listed.ok()) << listed.summary();
    ASSERT_TRUE(test::upload(s.client, s.bucket(), "k", s.file("k", kBytes)).ok());
    ASSERT_TRUE(test::copy(s.client, s.bucket(), "k", s.bucket(), "copy").ok());
    const auto fetched = test::download(s.client, s.bucket(), "copy");
    EXPECT_TRUE(fetched.ok() && fetched.request()->responseData() == kBytes);
    EXPECT_EQ(curl(link(s.client, s.bucket(), "copy"), s.dir / "got"), 200);
    EXPECT_EQ(test::readFile(s.dir / "got"), kBytes);

    s.client.globleConfig()->erase("sessionToken");
    EXPECT_TRUE(test::failedOnce(test::listBuckets(s.client), ErrorKind::service, 403));
    test::useServer(s.server);  // the user's own keys clear up
}

}  // namespace
}  // namespace quilo
