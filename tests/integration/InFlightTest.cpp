// Requests still running when they are cancelled, or when the process leaves, against RGW.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "integration/Blocking.hpp"
#include "quilo/quilo.hpp"
#include "support/Servers.hpp"
#include "support/SharedState.hpp"

namespace quilo {
namespace {

namespace fs = std::filesystem;
using Object = QuiloObjectRquest;

constexpr std::uint64_t kMiB = 1 << 20;

std::vector<std::string> namesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename());
    return names;
}

// Callables that record, and cancel the request from its first progress report on.
TransferCallbacks<Object> cancelling(const test::Outcome<Object>& outcome) {
    auto callbacks = outcome.transferCallbacks();
    callbacks.progress = [record = callbacks.progress](const auto& request, std::uint64_t sent,
                                                       std::uint64_t total) {
        record(request, sent, total);
        request->cancel();
    };
    return callbacks;
}

// A bucket holding "large", 64 MiB: a download of it is still going a few turns of the network
// loop after its first bytes.
class InFlight : public ::testing::Test {
  protected:
    void SetUp() override {
        test::useServer(server_);
        ASSERT_EQ(test::aws(server_, {"s3api", "create-bucket", "--bucket", bucket_}).exitCode, 0);
        const auto put = test::aws(server_, {"s3", "cp", "--only-show-errors",
                                             sparseFile("large", 64 * kMiB), url("large")});
        ASSERT_EQ(put.exitCode, 0) << put.err;
        fs::remove(dir_.path() / "large");
    }
    void TearDown() override { test::aws(server_, {"s3", "rb", url(""), "--force"}); }

    std::string url(const std::string& key) const { return "s3://" + bucket_ + "/" + key; }
    // `size` zero bytes that take no room on disk.
    std::string sparseFile(const std::string& name, std::uint64_t size) const {
        const std::string path = dir_.file(name, "");
        fs::resize_file(path, size);
        return path;
    }

    test::SharedStateGuard restore_;
    const test::Server server_ = test::rgw();
    const std::string bucket_ = test::uniqueBucketName("inflight");
    const test::TempDir dir_;
};

// Cancelled while its parts are on the wire.
TEST_F(InFlight, ACancelledMultipartUploadIsAbortedOnTheService) {
    S3ObjectRequest::setMultipartThreshold(64 * kMiB);  // put back by restore_
    test::Outcome<Object> outcome;
    Quilo::sharedInstance()->uploadObject(
        {{"filePath", sparseFile("upload", 200 * kMiB)}, {"bucket", bucket_}, {"key", "cancelled"}},
        cancelling(outcome));
    ASSERT_TRUE(outcome.waitForEnd(std::chrono::seconds(60), std::chrono::milliseconds(300)));
    EXPECT_TRUE(test::failedOnce(outcome, ErrorKind::cancelled));
    ASSERT_FALSE(outcome.progress().empty());
    EXPECT_LT(outcome.progress().back().first, 200 * kMiB);

    const auto uploads = test::aws(server_, {"s3api", "list-multipart-uploads", "--bucket", bucket_,
                                             "--query", "Uploads[].Key", "--output", "text"});
    ASSERT_EQ(uploads.exitCode, 0) << uploads.err;
    EXPECT_EQ(uploads.out.find("cancelled"), std::string::npos)
        << "left on the service: " << uploads.out;
    EXPECT_NE(test::aws(server_, {"s3", "ls", url("cancelled")}).exitCode, 0) << "it was completed";
}

TEST_F(InFlight, ACancelledDownloadLeavesTheDestinationAsItWas) {
    const std::string destination = dir_.file("destination", "what was here before");
    test::Outcome<Object> outcome;
    Quilo::sharedInstance()->downloadObject(
        {{"bucket", bucket_}, {"key", "large"}, {"downloadDestinationPath", destination}},
        cancelling(outcome));
    ASSERT_TRUE(outcome.waitForEnd(std::chrono::seconds(60), std::chrono::milliseconds(300)));
    EXPECT_TRUE(test::failedOnce(outcome, ErrorKind::cancelled));
    ASSERT_FALSE(outcome.progress().empty());
    EXPECT_LT(outcome.progress().back().first, 64 * kMiB) << "it ended before the cancel";
    EXPECT_EQ(test::readFile(destination), "what was here before");
    EXPECT_EQ(namesIn(dir_.path()), std::vector<std::string>{"destination"});
}

TEST_F(InFlight, AProcessLeavesAtOnceAndQuietlyWithRequestsRunningAndWaiting) {
    for (const std::string how : {"return", "exit"}) {
        SCOPED_TRACE(how);
        const auto began = std::chrono::steady_clock::now();
        // The time-out only keeps a hung process from hanging the suite.
        const auto run = test::run({"timeout", "-s", "KILL", "60", QUILO_EXIT_PROGRAM, how, bucket_,
                                    "large", dir_.path() / "destination"});
        EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(10));
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "");
        // Nothing half-written: no destination and no temporary file beside it.
        EXPECT_EQ(namesIn(dir_.path()), std::vector<std::string>{});
    }
}

}  // namespace
}  // namespace quilo
