// The quilo tool as a user runs it: its exit status, its output, and the server's state as
// awscli sees it afterwards.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/Servers.hpp"

extern char** environ;

namespace quilo {
namespace {

namespace fs = std::filesystem;
using test::RunResult;
using test::Server;

constexpr const char* allUsers = "http://acs.amazonaws.com/groups/global/AllUsers";

// This process's environment without the AWS_ settings of whoever runs the tests, plus `extra`.
std::vector<std::string> environmentWith(const std::vector<std::string>& extra) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        if (std::string_view(*entry).rfind("AWS_", 0) != 0) {
            environment.emplace_back(*entry);
        }
    }
    environment.insert(environment.end(), extra.begin(), extra.end());
    return environment;
}

// The settings of `server` in the variables awscli users have.
std::vector<std::string> awsEnvironment(const Server& server) {
    return environmentWith({"AWS_ENDPOINT_URL=" + server.endpoint(),
                            "AWS_ACCESS_KEY_ID=" + server.accessKey,
                            "AWS_SECRET_ACCESS_KEY=" + server.secretKey,
                            "AWS_REGION=" + server.region, "AWS_CA_BUNDLE=" + server.caFile});
}

RunResult quilo(const std::vector<std::string>& args, const std::vector<std::string>& environment) {
    std::vector<std::string> argv = {QUILO_CLI_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return test::run(argv, environment);
}

RunResult quilo(const std::vector<std::string>& args) {
    return quilo(args, awsEnvironment(test::rgw()));
}

std::string describe(const RunResult& result) {
    return "exit " + std::to_string(result.exitCode) + "\nstdout:\n" + result.out + "stderr:\n" +
           result.err;
}

// A failure as the tool must report it: one line on stderr, naming `what`, and exit status 1.
void expectFailure(const RunResult& result, const std::string& what, const std::string& cause) {
    EXPECT_EQ(result.exitCode, 1) << describe(result);
    EXPECT_EQ(result.err.rfind("quilo: " + what + ": ", 0), 0u) << describe(result);
    EXPECT_NE(result.err.find(cause), std::string::npos) << describe(result);
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << describe(result);
}

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string randomBytes(std::size_t size) {
    std::mt19937_64 generator(size);
    std::string bytes(size, '\0');
    for (auto& byte : bytes) {
        byte = static_cast<char>(generator());
    }
    return bytes;
}

// The rows of `quilo ls s3://...`: the size (or "PRE") and the key of each.
std::vector<std::pair<std::string, std::string>> listing(const std::string& out) {
    std::vector<std::pair<std::string, std::string>> rows;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line.substr(21));
        std::string size, key;
        fields >> size >> key;
        rows.emplace_back(size, key);
    }
    return rows;
}

class Cli : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / test::uniqueBucketName("quilo-cli");
        fs::create_directories(dir_);
    }
    void TearDown() override {
        if (bucketMade_) {
            removeBucket();
        }
        fs::remove_all(dir_);
    }

    // Set up and cleared with the tool itself, which is much quicker than awscli: the test of
    // mb and rb checks them with awscli.
    void makeBucket() {
        const auto made = quilo({"mb", url()});
        ASSERT_EQ(made.exitCode, 0) << describe(made);
        bucketMade_ = true;
    }
    void removeBucket() {
        std::vector<std::string> rm = {"rm"};
        for (const auto& [size, key] : listing(quilo({"ls", url()}).out)) {
            rm.push_back(url(key));
        }
        if (rm.size() > 1) {
            quilo(rm);
        }
        if (quilo({"rb", url()}).exitCode != 0) {
            test::aws(server_, {"s3", "rb", "--force", url()});
        }
    }
    std::string url(const std::string& key = "") const {
        return "s3://" + bucket_ + (key.empty() ? "" : "/" + key);
    }
    std::string awsText(const std::vector<std::string>& args) const {
        auto result = test::aws(server_, args);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return result.out;
    }

    const Server server_ = test::rgw();
    const std::string bucket_ = test::uniqueBucketName("cli");
    bool bucketMade_ = false;
    fs::path dir_;
};

TEST_F(Cli, MakesListsAndRemovesBuckets) {
    bucketMade_ = true;  // in case the test stops half way
    const auto made = quilo({"mb", url()});
    ASSERT_EQ(made.exitCode, 0) << describe(made);
    EXPECT_EQ(made.out, "make_bucket: " + url() + "\n");
    EXPECT_EQ(test::aws(server_, {"s3api", "head-bucket", "--bucket", bucket_}).exitCode, 0);

    const auto listed = quilo({"ls"});
    EXPECT_EQ(listed.exitCode, 0) << describe(listed);
    EXPECT_NE(listed.out.find("  " + bucket_ + "\n"), std::string::npos) << listed.out;

    const auto removed = quilo({"rb", url()});
    EXPECT_EQ(removed.exitCode, 0) << describe(removed);
    EXPECT_EQ(removed.out, "remove_bucket: " + url() + "\n");
    EXPECT_NE(test::aws(server_, {"s3api", "head-bucket", "--bucket", bucket_}).exitCode, 0);
    bucketMade_ = false;

    expectFailure(quilo({"rb", url()}), "rb " + url(), "NoSuchBucket");
}

TEST_F(Cli, PutsListsGetsCopiesAndRemovesObjects) {
    makeBucket();
    const std::string a = randomBytes(300 * 1024), b = "hello\n", c = randomBytes(70 * 1024);
    writeFile(dir_ / "a.bin", a);
    writeFile(dir_ / "b.txt", b);
    writeFile(dir_ / "c.bin", c);

    const auto put = quilo({"put", (dir_ / "a.bin").string(), (dir_ / "b.txt").string(),
                            (dir_ / "c.bin").string(), url("dir/"), "--jobs", "2"});
    ASSERT_EQ(put.exitCode, 0) << describe(put);
    EXPECT_EQ(std::count(put.out.begin(), put.out.end(), '\n'), 3) << put.out;
    EXPECT_NE(put.out.find("upload: " + (dir_ / "b.txt").string() + " to " + url("dir/b.txt")),
              std::string::npos)
        << put.out;
    const auto single = quilo({"put", (dir_ / "b.txt").string(), url("top.txt")});
    ASSERT_EQ(single.exitCode, 0) << describe(single);
    EXPECT_EQ(awsText({"s3api", "list-objects", "--bucket", bucket_, "--query",
                       "Contents[].[Key,Size]", "--output", "text"}),
              "dir/a.bin\t307200\ndir/b.txt\t6\ndir/c.bin\t71680\ntop.txt\t6\n");

    // Two keys a page: the tool must follow the marker through three pages.
    const auto all = quilo({"ls", url(), "--page-size", "2"});
    EXPECT_EQ(all.exitCode, 0) << describe(all);
    EXPECT_EQ(
        listing(all.out),
        (std::vector<std::pair<std::string, std::string>>{
            {"307200", "dir/a.bin"}, {"6", "dir/b.txt"}, {"71680", "dir/c.bin"}, {"6", "top.txt"}}))
        << all.out;
    const auto grouped = quilo({"ls", url(), "--delimiter", "/"});
    EXPECT_EQ(listing(grouped.out),
              (std::vector<std::pair<std::string, std::string>>{{"PRE", "dir/"}, {"6", "top.txt"}}))
        << grouped.out;
    const auto prefixed = quilo({"ls", url("dir/c")});
    EXPECT_EQ(listing(prefixed.out),
              (std::vector<std::pair<std::string, std::string>>{{"71680", "dir/c.bin"}}))
        << prefixed.out;

    const fs::path into = dir_ / "into";
    fs::create_directories(into);
    const auto got = quilo({"get", url("dir/a.bin"), url("dir/c.bin"), into.string()});
    ASSERT_EQ(got.exitCode, 0) << describe(got);
    EXPECT_EQ(readFile(into / "a.bin"), a);
    EXPECT_EQ(readFile(into / "c.bin"), c);
    const auto renamed = quilo({"get", url("top.txt"), (dir_ / "renamed.txt").string()});
    ASSERT_EQ(renamed.exitCode, 0) << describe(renamed);
    EXPECT_EQ(readFile(dir_ / "renamed.txt"), b);

    const auto copied = quilo({"cp", url("dir/c.bin"), url("copies/")});
    ASSERT_EQ(copied.exitCode, 0) << describe(copied);
    EXPECT_EQ(copied.out, "copy: " + url("dir/c.bin") + " to " + url("copies/c.bin") + "\n");
    const auto removed = quilo({"rm", url("dir/a.bin"), url("top.txt")});
    EXPECT_EQ(removed.exitCode, 0) << describe(removed);
    EXPECT_EQ(awsText({"s3api", "list-objects", "--bucket", bucket_, "--query",
                       "Contents[].[Key,Size]", "--output", "text"}),
              "copies/c.bin\t71680\ndir/b.txt\t6\ndir/c.bin\t71680\n");
}

TEST_F(Cli, ShowsAndSetsAclsAndMetadata) {
    makeBucket();
    writeFile(dir_ / "page.html", "<p>hi</p>");
    const auto put = quilo({"put", (dir_ / "page.html").string(), url(), "--acl", "public-read"});
    ASSERT_EQ(put.exitCode, 0) << describe(put);
    EXPECT_EQ(
        awsText({"s3api", "get-object-acl", "--bucket", bucket_, "--key", "page.html", "--query",
                 "Grants[?Grantee.URI=='" + std::string(allUsers) + "'].Permission", "--output",
                 "text"}),
        "READ\n");
    const auto objectAcl = quilo({"acl", "get", url("page.html")});
    EXPECT_EQ(objectAcl.exitCode, 0) << describe(objectAcl);
    EXPECT_NE(objectAcl.out.find("OWNER         id=" + server_.userId), std::string::npos)
        << objectAcl.out;
    EXPECT_NE(objectAcl.out.find("READ          uri=" + std::string(allUsers) + "\n"),
              std::string::npos)
        << objectAcl.out;

    const std::string other = test::rgwOther().userId;
    const auto set = quilo({"acl", "set", url(), "--grant", "READ=id=" + other, "--grant",
                            "FULL_CONTROL=id=" + server_.userId});
    ASSERT_EQ(set.exitCode, 0) << describe(set);
    EXPECT_EQ(
        awsText({"s3api", "get-bucket-acl", "--bucket", bucket_, "--query",
                 "sort_by(Grants, &Permission)[].[Permission,Grantee.ID]", "--output", "text"}),
        "FULL_CONTROL\t" + server_.userId + "\nREAD\t" + other + "\n");
    const auto bucketAcl = quilo({"acl", "get", url()});
    EXPECT_NE(bucketAcl.out.find("READ          id=" + other), std::string::npos) << bucketAcl.out;

    const auto meta =
        quilo({"meta", "set", url("page.html"), "color=blue", "Content-Type=text/html"});
    ASSERT_EQ(meta.exitCode, 0) << describe(meta);
    EXPECT_EQ(awsText({"s3api", "head-object", "--bucket", bucket_, "--key", "page.html", "--query",
                       "[ContentType,Metadata.color]", "--output", "text"}),
              "text/html\tblue\n");
    const auto shown = quilo({"meta", "get", url("page.html")});
    EXPECT_EQ(shown.exitCode, 0) << describe(shown);
    for (const char* line :
         {"Content-Type: text/html\n", "x-amz-meta-color: blue\n", "Content-Length: 9\n"}) {
        EXPECT_NE(shown.out.find(line), std::string::npos) << line << " is not in\n" << shown.out;
    }
    const auto bucketMeta = quilo({"meta", "get", url()});
    EXPECT_EQ(bucketMeta.exitCode, 0) << describe(bucketMeta);
    EXPECT_NE(bucketMeta.out.find("X-RGW-Object-Count: 1\n"), std::string::npos) << bucketMeta.out;
}

TEST_F(Cli, ReportsFailuresOnOneLineAndExitsOne) {
    makeBucket();
    Server wrong = server_;
    wrong.secretKey = "not-the-secret";
    const auto denied = quilo({"ls"}, awsEnvironment(wrong));
    expectFailure(denied, "ls", "SignatureDoesNotMatch");
    EXPECT_EQ(denied.out, "");

    const auto missing = quilo({"get", url("nothing"), (dir_ / "nothing").string()});
    expectFailure(missing, "get " + url("nothing"), "NoSuchKey");
    EXPECT_FALSE(fs::exists(dir_ / "nothing"));
    EXPECT_EQ(fs::directory_iterator(dir_), fs::directory_iterator()) << "a download file is left";

    expectFailure(quilo({"put", (dir_ / "absent.txt").string(), url()}),
                  "put " + (dir_ / "absent.txt").string(), "local file error");
    expectFailure(quilo({"--endpoint", "http://127.0.0.1:1", "ls"}), "ls", "transport error");
}

TEST_F(Cli, TakesItsSettingsFromFlagsOverHttps) {
    makeBucket();
    const Server https = test::rgwHttps();
    std::vector<std::string> flags = {"--endpoint",    https.endpoint(), "--access-key",
                                      https.accessKey, "--secret-key",   https.secretKey,
                                      "--region",      https.region};
    const auto noAws = environmentWith({});

    auto withoutCa = flags;
    withoutCa.push_back("ls");
    expectFailure(quilo(withoutCa, noAws), "ls", "TLS error");

    auto listed = flags;
    listed.insert(listed.end(), {"--ca-file", https.caFile, "ls"});
    const auto result = quilo(listed, noAws);
    EXPECT_EQ(result.exitCode, 0) << describe(result);
    EXPECT_NE(result.out.find("  " + bucket_ + "\n"), std::string::npos) << result.out;
}

TEST(CliUsage, WrongCommandLinesExitTwoAndHelpExitsZero) {
    const auto environment = awsEnvironment(test::rgw());
    const std::vector<std::vector<std::string>> wrong = {
        {"frobnicate"},
        {"acl"},
        {"ls", "--no-such-flag"},
        {"mb", "bucket-without-scheme"},
        {"mb", "s3://bucket/with-key"},
        {"rm", "s3://bucket"},
        {"put", "only-one-argument"},
        {"put", "a.txt", "b.txt", "s3://bucket/not-a-prefix"},
        {"put", "a.txt", "s3://bucket/", "--acl", "public"},
        {"get", "s3://bucket/key", "/no/such/directory/"},
        {"acl", "set", "s3://bucket"},
        {"acl", "set", "s3://bucket", "--grant", "READ"},
        {"acl", "set", "s3://bucket", "--grant", "LOOK=id=someone"},
        {"meta", "set", "s3://bucket/key", "no-value"},
        {"--jobs", "0", "ls"},
        {"--endpoint", "ftp://host", "ls"},
        {"--access-key", "only-the-access-key", "ls"},
    };
    for (const auto& args : wrong) {
        // No keys, so that a command line taken for a good one by mistake reaches no bucket.
        const auto result = quilo(args, environmentWith({"AWS_ENDPOINT_URL=http://127.0.0.1:1"}));
        std::string line;
        for (const auto& arg : args) {
            line += " " + arg;
        }
        EXPECT_EQ(result.exitCode, 2) << "quilo" << line << "\n" << describe(result);
        EXPECT_EQ(result.err.rfind("quilo: ", 0), 0u) << "quilo" << line << "\n"
                                                      << describe(result);
        EXPECT_EQ(result.out, "") << "quilo" << line;
    }

    EXPECT_NE(quilo({"frobnicate"}, environment).err.find("unknown command 'frobnicate'"),
              std::string::npos);
    const auto bare = quilo({}, environment);
    EXPECT_EQ(bare.exitCode, 2);
    EXPECT_NE(bare.err.find("Usage: quilo"), std::string::npos) << bare.err;

    const auto help = quilo({"--help"}, environment);
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Usage: quilo"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("AWS_ENDPOINT_URL"), std::string::npos) << help.out;
    const auto putHelp = quilo({"put", "--help"}, environment);
    EXPECT_EQ(putHelp.exitCode, 0);
    EXPECT_NE(putHelp.out.find("--acl"), std::string::npos) << putHelp.out;
}

// The bar is drawn on a terminal only: `script` gives the tool a pseudo-terminal.
TEST_F(Cli, DrawsAProgressBarOnATerminalOnly) {
    makeBucket();
    const fs::path file = dir_ / "twelve.bin";
    writeFile(file, randomBytes(12 * 1024 * 1024));
    const auto onTerminal = [&](const std::string& command) {
        return test::run(
            {"script", "-qec", std::string(QUILO_CLI_PATH) + " " + command, "/dev/null"},
            awsEnvironment(server_));
    };
    // The drawings are separated by '\r'; the last one must show the whole file.
    const auto expectBarEndingFull = [](const RunResult& result, const std::string& done) {
        ASSERT_EQ(result.exitCode, 0) << describe(result);
        std::vector<std::string> drawings;
        std::istringstream parts(result.out);
        for (std::string part; std::getline(parts, part, '\r');) {
            if (part.find('%') != std::string::npos) {
                drawings.push_back(part);
            }
        }
        ASSERT_FALSE(drawings.empty()) << result.out;
        EXPECT_NE(drawings.back().find("100%  12.0 MiB / 12.0 MiB"), std::string::npos)
            << drawings.back();
        EXPECT_NE(result.out.find(done, result.out.rfind("100%")), std::string::npos)
            << "the outcome does not follow the finished bar:\n"
            << result.out;
    };

    expectBarEndingFull(onTerminal("put '" + file.string() + "' " + url()), "upload: ");
    expectBarEndingFull(
        onTerminal("get " + url("twelve.bin") + " '" + (dir_ / "back.bin").string() + "'"),
        "download: ");
    EXPECT_EQ(readFile(dir_ / "back.bin"), readFile(file));

    const auto piped = quilo({"put", file.string(), url("piped.bin")});
    EXPECT_EQ(piped.exitCode, 0) << describe(piped);
    EXPECT_EQ(piped.err, "");
    EXPECT_EQ(piped.out, "upload: " + file.string() + " to " + url("piped.bin") + "\n");
}

}  // namespace
}  // namespace quilo
