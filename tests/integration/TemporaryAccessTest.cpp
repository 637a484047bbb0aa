// Access without the keys themselves: presigned URLs fetched by plain curl, and temporary
// credentials issued by RGW's STS.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "integration/Blocking.hpp"
#include "quilo/quilo.hpp"

namespace quilo {
namespace {

namespace fs = std::filesystem;

// curl with no keys: the HTTP status, the body in `into`; a PUT of `upload` when given.
int curl(const std::string& url, const fs::path& into, const std::string& upload = "") {
    std::vector<std::string> argv = {"curl", "-sg", "-o", into, "-w", "%{http_code}", url};
    if (!upload.empty())
        argv.insert(argv.end(), {"-T", upload});
    const auto result = test::run(argv);
    return result.exitCode == 0 ? std::stoi(result.out) : -result.exitCode;
}

std::string link(Quilo& client, const std::string& bucket, const std::string& key,
                 const std::string& method = "GET", const std::string& expires = "3600") {
    const auto url = client.presignedURL(
        {{"bucket", bucket}, {"key", key}, {"method", method}, {"expiresSeconds", expires}});
    EXPECT_TRUE(url) << key;
    return url.value_or("");
}

// Every byte value, so that nothing on the way may change one.
std::string everyByte(const std::string& key) {
    std::string bytes = key;
    for (int i = 0; i < 256; ++i)
        bytes += static_cast<char>(i);
    return bytes;
}

TEST(Presigned, CurlGetsAndPutsTheExactBytesUntilTheURLExpires) {
    test::Scratch s(test::rgw());
    for (const std::string key : {"plain", "with space", "one+two", "100%", "~a", "ключ/日本 ✓"}) {
        SCOPED_TRACE(key);
        ASSERT_TRUE(test::upload(s.client, s.bucket(), key, s.file("up", everyByte(key))).ok());
        EXPECT_EQ(curl(link(s.client, s.bucket(), key), s.dir / "got"), 200);
        EXPECT_EQ(test::readFile(s.dir / "got"), everyByte(key));
        const auto put = link(s.client, s.bucket(), key, "PUT");
        EXPECT_EQ(curl(put, s.dir / "answer", s.file("put", everyByte(key + "!"))), 200);
        const auto fetched = test::download(s.client, s.bucket(), key);
        EXPECT_TRUE(fetched.ok() && fetched.request()->responseData() == everyByte(key + "!"));
    }
    // One character changed, in the key or the signature, and the service refuses.
    const auto url = link(s.client, s.bucket(), "plain");
    for (const auto at : {url.find("plain") + 4, url.size() - 1}) {
        std::string changed = url;
        changed[at] = changed[at] == 'a' ? 'b' : 'a';
        EXPECT_EQ(curl(changed, s.dir / "refused"), 403) << changed;
    }
    const auto brief = link(s.client, s.bucket(), "plain", "GET", "2");
    EXPECT_EQ(curl(brief, s.dir / "in-time"), 200);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_EQ(curl(brief, s.dir / "too-late"), 403);
}

// Keys, secret and token from `aws sts get-session-token`: with the token in the configuration
// they list, upload, download, copy and presign; without it the service refuses them.
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
    const auto& buckets = listed.request()->buckets();
    EXPECT_TRUE(std::any_of(buckets.begin(), buckets.end(),
                            [&](const S3Bucket& bucket) { return bucket.name == s.bucket(); }));
    ASSERT_TRUE(test::upload(s.client, s.bucket(), "k", s.file("k", everyByte("k"))).ok());
    ASSERT_TRUE(test::copy(s.client, s.bucket(), "k", s.bucket(), "copy").ok());
    const auto fetched = test::download(s.client, s.bucket(), "copy");
    EXPECT_TRUE(fetched.ok() && fetched.request()->responseData() == everyByte("k"));
    EXPECT_EQ(curl(link(s.client, s.bucket(), "copy"), s.dir / "got"), 200);
    EXPECT_EQ(test::readFile(s.dir / "got"), everyByte("k"));

    s.client.globleConfig()->erase("sessionToken");
    EXPECT_TRUE(test::failedOnce(test::listBuckets(s.client), ErrorKind::service, 403));
    test::useServer(s.server);  // the user's own keys clear up
}

}  // namespace
}  // namespace quilo
