#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "quilo/quilo.hpp"
#include "support/Outcome.hpp"
#include "support/Servers.hpp"
#include "support/SharedState.hpp"

namespace quilo {
namespace {

namespace fs = std::filesystem;
using test::Event;
using test::Outcome;

constexpr std::uint64_t kMiB = 1 << 20;

std::string contentOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::vector<std::string> namesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename());
    return names;
}

// Requests that are still running when they are cancelled, or when the process leaves, against
// RGW: a large object in a bucket of the test's own, and a scratch folder.
class InFlight : public ::testing::Test {
  protected:
    void SetUp() override {
        server_ = test::rgw();
        test::useServer(server_);
        bucket_ = test::uniqueBucketName("inflight");
        const auto made = test::aws(server_, {"s3api", "create-bucket", "--bucket", bucket_});
        ASSERT_EQ(made.exitCode, 0) << made.err;
        bucketMade_ = true;
        std::string pattern = (fs::temp_directory_path() / "quilo-inflight-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        if (bucketMade_)
            test::aws(server_, {"s3", "rb", "s3://" + bucket_, "--force"});
        if (!dir_.empty())
            fs::remove_all(dir_);
    }

    // A file of `size` zero bytes that takes no room on disk.
    fs::path sparseFile(const std::string& name, std::uint64_t size) const {
        const fs::path path = dir_ / name;
        std::ofstream{path};
        fs::resize_file(path, size);
        return path;
    }
    // Puts a 64 MiB object in place with awscli: big enough that a download of it is still
    // going a few turns of the network loop after its first bytes.
    std::string largeObject() {
        const fs::path source = sparseFile("large-source", 64 * kMiB);
        const auto put = test::aws(server_, {"s3", "cp", "--only-show-errors", source.string(),
                                             "s3://" + bucket_ + "/large"});
        EXPECT_EQ(put.exitCode, 0) << put.err;
        fs::remove(source);
        return "large";
    }
    bool objectExists(const std::string& key) const {
        const auto head =
            test::aws(server_, {"s3api", "head-object", "--bucket", bucket_, "--key", key});
        EXPECT_TRUE(head.exitCode == 0 || head.err.find("404") != std::string::npos) << head.err;
        return head.exitCode == 0;
    }

    test::SharedStateGuard restore_;
    test::Server server_;
    std::string bucket_;
    bool bucketMade_ = false;
    fs::path dir_;
};

TEST_F(InFlight, ACancelledMultipartUploadIsAbortedOnTheService) {
    S3ObjectRequest::setMultipartThreshold(64 * kMiB);
    const fs::path file = sparseFile("upload", 200 * kMiB);

    // Cancelled from every progress report, while parts are on the wire, and from the started
    // callable, while the upload is being initiated on a connection the first one left open.
    for (const std::string when : {"progress", "started"}) {
        SCOPED_TRACE(when);
        const std::string key = "cancelled-at-" + when;
        Outcome<QuiloObjectRquest> outcome;
        auto callbacks = outcome.transferCallbacks();
        if (when == "started") {
            callbacks.started = [record = callbacks.started](const auto& request) {
                record(request);
                request->cancel();
            };
        } else {
            callbacks.progress = [record = callbacks.progress](
                                     const auto& request, std::uint64_t sent, std::uint64_t total) {
                record(request, sent, total);
                request->cancel();
            };
        }
        Quilo::sharedInstance()->uploadObject(
            {{"filePath", file.string()}, {"bucket", bucket_}, {"key", key}}, callbacks);
        ASSERT_TRUE(outcome.waitForEnd(std::chrono::seconds(60), std::chrono::milliseconds(300)))
            << outcome.summary();
        EXPECT_EQ(outcome.count(Event::finished), 0) << outcome.summary();
        ASSERT_EQ(outcome.count(Event::failed), 1) << outcome.summary();
        ASSERT_TRUE(outcome.request()->error());
        EXPECT_EQ(outcome.request()->error()->kind, ErrorKind::cancelled)
            << outcome.request()->error()->description();
        if (when == "progress") {
            const auto reports = outcome.progress();
            ASSERT_FALSE(reports.empty());
            EXPECT_LT(reports.back().first, 200 * kMiB);
        }

        const auto uploads =
            test::aws(server_, {"s3api", "list-multipart-uploads", "--bucket", bucket_, "--query",
                                "Uploads[].Key", "--output", "text"});
        ASSERT_EQ(uploads.exitCode, 0) << uploads.err;
        EXPECT_EQ(uploads.out.find(key), std::string::npos)
            << "left on the service: " << uploads.out;
        EXPECT_FALSE(objectExists(key));
    }
}

TEST_F(InFlight, ACancelledDownloadLeavesTheDestinationAsItWas) {
    const std::string key = largeObject();
    const fs::path destination = dir_ / "destination";
    std::ofstream(destination) << "what was here before";

    Outcome<QuiloObjectRquest> outcome;
    auto callbacks = outcome.transferCallbacks();
    callbacks.progress = [record = callbacks.progress](const auto& request, std::uint64_t sent,
                                                       std::uint64_t total) {
        record(request, sent, total);
        request->cancel();
    };
    Quilo::sharedInstance()->downloadObject(
        {{"bucket", bucket_}, {"key", key}, {"downloadDestinationPath", destination.string()}},
        callbacks);
    ASSERT_TRUE(outcome.waitForEnd(std::chrono::seconds(60), std::chrono::milliseconds(300)))
        << outcome.summary();
    EXPECT_EQ(outcome.count(Event::finished), 0) << outcome.summary();
    ASSERT_EQ(outcome.count(Event::failed), 1) << outcome.summary();
    EXPECT_EQ(outcome.request()->error()->kind, ErrorKind::cancelled)
        << outcome.request()->error()->description();
    ASSERT_FALSE(outcome.progress().empty());
    EXPECT_LT(outcome.progress().back().first, 64 * kMiB) << "it ended before the cancel";

    EXPECT_EQ(contentOf(destination), "what was here before");
    EXPECT_EQ(namesIn(dir_), std::vector<std::string>{"destination"});
}

TEST_F(InFlight, AProcessLeavesAtOnceAndQuietlyWithRequestsRunningAndWaiting) {
    const std::string key = largeObject();
    for (const std::string how : {"return", "exit"}) {
        SCOPED_TRACE(how);
        const fs::path destination = dir_ / ("destination-" + how);
        const auto began = std::chrono::steady_clock::now();
        // The time-out only keeps a hung process from hanging the suite.
        const auto run = test::run({"timeout", "-s", "KILL", "60", QUILO_EXIT_PROGRAM, how, bucket_,
                                    key, destination.string()});
        const auto seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "");
        EXPECT_LT(seconds, 10.0);
        // Nothing half-written: no destination and no temporary file beside it.
        EXPECT_EQ(namesIn(dir_), std::vector<std::string>{}) << how;
    }
}

}  // namespace
}  // namespace quilo
