// The quilo tool as a user runs it: its exit status, its output, and the server's state as
// awscli sees it afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "integration/Blocking.hpp"
#include "support/Servers.hpp"

extern char** environ;

namespace quilo {
namespace {

namespace fs = std::filesystem;
using test::RunResult;
using test::Server;

// This process's environment without the AWS_ settings of whoever runs the tests, plus `extra`.
std::vector<std::string> environmentWith(const std::vector<std::string>& extra) {
    std::vector<std::string> environment = extra;
    for (char** entry = environ; *entry; ++entry) {
        if (!std::string_view(*entry).starts_with("AWS_"))
            environment.emplace_back(*entry);
    }
    return environment;
}

std::vector<std::string> awsEnvironment(const Server& server) {
    return environmentWith({"AWS_ENDPOINT_URL=" + server.endpoint(),
                            "AWS_ACCESS_KEY_ID=" + server.accessKey,
                            "AWS_SECRET_ACCESS_KEY=" + server.secretKey,
                            "AWS_REGION=" + server.region, "AWS_CA_BUNDLE=" + server.caFile});
}

// The tool with the words of `line`, which hold no spaces of their own.
RunResult quilo(const std::string& line,
                const std::vector<std::string>& environment = awsEnvironment(test::rgw())) {
    std::vector<std::string> args{QUILO_CLI_PATH};
    std::istringstream words(line);
    for (std::string word; words >> word;)
        args.push_back(word);
    return test::run(args, environment);
}

std::string describe(const RunResult& result) {
    return "exit " + std::to_string(result.exitCode) + "\nstdout:\n" + result.out + "stderr:\n" +
           result.err;
}

std::string randomBytes(std::size_t size) {
    std::mt19937_64 generator(size);
    std::string bytes(size, '\0');
    for (auto& byte : bytes)
        byte = static_cast<char>(generator());
    return bytes;
}

class Cli : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto made = quilo("mb " + url());
        ASSERT_EQ(made.exitCode, 0) << describe(made);
    }
    void TearDown() override { test::aws(server_, {"s3", "rb", "--force", url()}); }

    std::string url(const std::string& key = "") const {
        return "s3://" + bucket_ + (key.empty() ? "" : "/" + key);
    }
    // What awscli's s3api `command` says of the bucket, as text.
    std::string awsQuery(std::vector<std::string> command, const std::string& query) const {
        command.insert(command.begin(), "s3api");
        command.insert(command.end(), {"--bucket", bucket_, "--query", query, "--output", "text"});
        const auto result = test::aws(server_, command);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return result.out;
    }

    const Server server_ = test::rgw();
    const std::string bucket_ = test::uniqueBucketName("cli");
    const test::TempDir dir_;
};

TEST_F(Cli, EveryCommandChangesWhatAwscliSees) {
    // Settings from flags alone, over HTTPS.
    const Server https = test::rgwHttps();
    const auto buckets = quilo(
        "--endpoint " + https.endpoint() + " --access-key " + https.accessKey + " --secret-key " +
            https.secretKey + " --region " + https.region + " --ca-file " + https.caFile + " ls",
        environmentWith({}));
    EXPECT_NE(buckets.out.find("  " + bucket_ + "\n"), std::string::npos) << describe(buckets);

    const std::string a = randomBytes(300 * 1024), b = "hello\n";
    const auto put =
        quilo("put " + dir_.file("a.bin", a) + " " + dir_.file("b.txt", b) + " " +
              dir_.file("c.bin", a.substr(0, 70 * 1024)) + " " + url("dir/") + " --jobs 2");
    ASSERT_EQ(put.exitCode, 0) << describe(put);
    ASSERT_EQ(quilo("put " + dir_.path().string() + "/b.txt " + url("top.txt")).exitCode, 0);
    const std::string listQuery = "Contents[].[Key,Size]";
    EXPECT_EQ(awsQuery({"list-objects"}, listQuery),
              "dir/a.bin\t307200\ndir/b.txt\t6\ndir/c.bin\t71680\ntop.txt\t6\n");
    // Two keys a page: the tool must follow the marker through three pages.
    const auto listed = quilo("ls " + url() + " --page-size 2");
    EXPECT_EQ(std::count(listed.out.begin(), listed.out.end(), '\n'), 4) << listed.out;
    for (const char* key : {" dir/a.bin\n", " dir/b.txt\n", " dir/c.bin\n", " top.txt\n"})
        EXPECT_NE(listed.out.find(key), std::string::npos) << key << listed.out;

    fs::create_directory(dir_.path() / "into");
    const auto got = quilo("get " + url("dir/a.bin") + " " + url("top.txt") + " " +
                           dir_.path().string() + "/into");
    ASSERT_EQ(got.exitCode, 0) << describe(got);
    EXPECT_EQ(test::readFile(dir_.path() / "into" / "a.bin"), a);
    EXPECT_EQ(test::readFile(dir_.path() / "into" / "top.txt"), b);
    EXPECT_EQ(quilo("cp " + url("dir/c.bin") + " " + url("copies/")).exitCode, 0);
    EXPECT_EQ(quilo("rm " + url("dir/a.bin") + " " + url("top.txt")).exitCode, 0);
    EXPECT_EQ(awsQuery({"list-objects"}, listQuery),
              "copies/c.bin\t71680\ndir/b.txt\t6\ndir/c.bin\t71680\n");

    const std::string allUsers = "http://acs.amazonaws.com/groups/global/AllUsers";
    ASSERT_EQ(quilo("put " + dir_.file("p.html", "<p>hi</p>") + " " + url() + " --acl public-read")
                  .exitCode,
              0);
    EXPECT_EQ(awsQuery({"get-object-acl", "--key", "p.html"},
                       "Grants[?Grantee.URI=='" + allUsers + "'].Permission"),
              "READ\n");
    EXPECT_NE(quilo("acl get " + url("p.html")).out.find(allUsers), std::string::npos);
    const std::string other = test::rgwOther().userId;
    const auto set = quilo("acl set " + url() + " --grant READ=id=" + other +
                           " --grant FULL_CONTROL=id=" + server_.userId);
    EXPECT_EQ(set.exitCode, 0) << describe(set);
    EXPECT_EQ(
        awsQuery({"get-bucket-acl"}, "sort_by(Grants, &Permission)[].[Permission,Grantee.ID]"),
        "FULL_CONTROL\t" + server_.userId + "\nREAD\t" + other + "\n");

    const auto meta = quilo("meta set " + url("p.html") + " color=blue Content-Type=text/html");
    EXPECT_EQ(meta.exitCode, 0) << describe(meta);
    EXPECT_EQ(awsQuery({"head-object", "--key", "p.html"}, "[ContentType,Metadata.color]"),
              "text/html\tblue\n");
    EXPECT_NE(quilo("meta get " + url("p.html")).out.find("blue"), std::string::npos);

    test::aws(server_, {"s3", "rm", "--recursive", url()});
    EXPECT_EQ(quilo("rb " + url()).exitCode, 0);
    EXPECT_NE(test::aws(server_, {"s3api", "head-bucket", "--bucket", bucket_}).exitCode, 0);
}

TEST_F(Cli, FailuresExitOneOnOneLineAndWrongCommandLinesExitTwo) {
    Server wrong = server_;
    wrong.secretKey = "not-the-secret";
    const auto denied = quilo("ls", awsEnvironment(wrong));
    EXPECT_EQ(denied.exitCode, 1) << describe(denied);
    EXPECT_NE(denied.err.find("SignatureDoesNotMatch"), std::string::npos) << denied.err;
    EXPECT_EQ(std::count(denied.err.begin(), denied.err.end(), '\n'), 1) << denied.err;

    const auto missing = quilo("get " + url("nothing") + " " + dir_.path().string() + "/nothing");
    EXPECT_EQ(missing.exitCode, 1) << describe(missing);
    EXPECT_TRUE(fs::is_empty(dir_.path())) << "a download file is left";

    for (const std::string line :
         {"", "frobnicate", "ls --no-such-flag", "mb bucket-without-scheme",
          "put only-one-argument", "put a.txt s3://bucket/ --acl public",
          "acl set s3://bucket --grant LOOK=id=someone", "meta set s3://bucket/key no-value",
          "--jobs 0 ls"}) {
        // No keys, so that a command line taken for a good one by mistake reaches no bucket.
        const auto result = quilo(line, environmentWith({"AWS_ENDPOINT_URL=http://127.0.0.1:1"}));
        EXPECT_EQ(result.exitCode, 2) << line << describe(result);
        EXPECT_EQ(result.out, "") << line;
    }
}

// The bar is drawn on a terminal only: `script` gives the tool a pseudo-terminal.
TEST_F(Cli, DrawsAProgressBarOnATerminalOnly) {
    const std::string file = dir_.file("twelve.bin", randomBytes(12 * 1024 * 1024));
    const auto drawn =
        test::run({"script", "-qec", QUILO_CLI_PATH " put " + file + " " + url(), "/dev/null"},
                  awsEnvironment(server_));
    ASSERT_EQ(drawn.exitCode, 0) << describe(drawn);
    // The drawings are separated by '\r'; the last must show the whole file.
    const auto last = drawn.out.rfind("100%  12.0 MiB / 12.0 MiB");
    ASSERT_NE(last, std::string::npos) << drawn.out;
    EXPECT_EQ(drawn.out.find('%', last + 4), std::string::npos) << "drawn after 100%";

    const auto piped = quilo("put " + file + " " + url("piped.bin"));
    EXPECT_EQ(piped.exitCode, 0) << describe(piped);
    EXPECT_EQ((piped.out + piped.err).find('%'), std::string::npos) << describe(piped);
}

}  // namespace
}  // namespace quilo
