// Uploads from memory and from streams of unknown length, on RGW: what arrives, in one PUT or in
// parts, and what a stream that fails or is cancelled leaves behind.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>

#include "integration/Blocking.hpp"
#include "quilo/quilo.hpp"
#include "requestlib/encoding/Crypto.hpp"
#include "requestlib/http/Engine.hpp"

namespace quilo {
namespace {

using test::failedOnce;
using test::ObjectEnded;

constexpr std::uint64_t kMiB = 1 << 20;

std::string randomBytes(std::size_t size) {
    std::mt19937 random(static_cast<unsigned>(size));
    std::string bytes(size, '\0');
    for (auto& byte : bytes)
        byte = static_cast<char>(random());
    return bytes;
}

// Hands `bytes` out `step` at a time; fails once `failAt` bytes have gone, if given.
struct Source {
    std::string bytes;
    std::size_t step = 7000;
    std::size_t failAt = std::string::npos;
    std::shared_ptr<std::size_t> at = std::make_shared<std::size_t>(0);
    std::shared_ptr<std::atomic<int>> onNetwork = std::make_shared<std::atomic<int>>(0);

    S3ObjectRequest::Reader reader() const {
        return [*this](std::span<char> buffer) -> std::optional<std::size_t> {
            *onNetwork += detail::Engine::instance().onEngineThread();
            if (*at >= failAt)
                return std::nullopt;
            const std::size_t n = std::min({buffer.size(), step, bytes.size() - *at});
            bytes.copy(buffer.data(), n, *at);
            *at += n;
            return n;
        };
    }
};

struct UploadSources : ::testing::Test {
    void SetUp() override {
        S3ObjectRequest::setMultipartThreshold(6 * kMiB);  // put back by the scratch
        S3ObjectRequest::setMultipartPartSize(5 * kMiB);
    }
    StringMap param(const std::string& key) const { return {{"bucket", s.bucket()}, {"key", key}}; }
    // The stored bytes must be `bytes`, and the ETag of one PUT or of `parts` parts.
    void expectStored(const ObjectEnded& up, const std::string& key, const std::string& bytes,
                      int parts) {
        ASSERT_TRUE(up.ok()) << key << ": " << up.summary();
        const auto down = test::download(s.client, s.bucket(), key);
        EXPECT_TRUE(down.ok() && down.request()->responseData() == bytes) << key;
        detail::StreamingDigest md5(detail::StreamingDigest::Algorithm::md5);
        md5.update(bytes.data(), bytes.size());
        const std::string etag = up.request()->etag();
        EXPECT_EQ(parts == 0 ? etag : etag.substr(etag.find('-') + 1),
                  parts == 0 ? md5.hexDigest() : std::to_string(parts))
            << key;
        const auto progress = up.progress();
        ASSERT_FALSE(progress.empty()) << key;
        EXPECT_EQ(progress.back(), std::make_pair<std::uint64_t>(bytes.size(), bytes.size()))
            << key;
    }
    test::Scratch s{test::rgw()};
};

TEST_F(UploadSources, MemoryAndStreamsArriveWhole) {
    struct Row {
        const char* key;
        std::size_t size;
        int parts;  // 0: one PUT
    } rows[] = {{"small", 1000, 0},
                {"one-part", 5 * kMiB, 0},
                {"parts", 11 * kMiB + 3, 3},
                {"empty", 0, 0}};
    for (const auto& row : rows) {
        const std::string bytes = randomBytes(row.size);
        const int memoryParts = row.size > 6 * kMiB ? row.parts : 0;
        ObjectEnded handed, borrowed, streamed;
        s.client.uploadData(param(std::string(row.key) + "/handed"), bytes,
                            handed.transferCallbacks());
        s.client.uploadData(param(std::string(row.key) + "/borrowed"),
                            std::as_bytes(std::span(bytes)), borrowed.transferCallbacks());
        Source source{.bytes = bytes};
        s.client.uploadStream(param(std::string(row.key) + "/stream"), source.reader(),
                              streamed.transferCallbacks());
        for (const auto* up : {&handed, &borrowed, &streamed})
            ASSERT_TRUE(up->waitForEnd(std::chrono::seconds(120))) << row.key;
        expectStored(handed, std::string(row.key) + "/handed", bytes, memoryParts);
        expectStored(borrowed, std::string(row.key) + "/borrowed", bytes, memoryParts);
        expectStored(streamed, std::string(row.key) + "/stream", bytes, row.parts);
        EXPECT_EQ(*source.onNetwork, 0) << row.key;
    }
}

TEST_F(UploadSources, AStreamThatFailsOrIsCancelledLeavesNothing) {
    const std::string bytes = randomBytes(16 * kMiB);
    Source failing{.bytes = bytes, .failAt = 12 * kMiB};
    ObjectEnded failed, cancelled;
    s.client.uploadStream(param("failed"), failing.reader(), failed.transferCallbacks());
    auto callbacks = cancelled.transferCallbacks();
    callbacks.progress = [record = callbacks.progress](const auto& request, std::uint64_t sent,
                                                       std::uint64_t total) {
        record(request, sent, total);
        if (sent > 6 * kMiB)
            request->cancel();
    };
    s.client.uploadStream(param("cancelled"), Source{.bytes = bytes}.reader(), callbacks);
    ASSERT_TRUE(failed.waitForEnd(std::chrono::seconds(120)));
    ASSERT_TRUE(cancelled.waitForEnd(std::chrono::seconds(120)));
    EXPECT_TRUE(failedOnce(failed, ErrorKind::localFile, 0, "CannotReadStream"));
    EXPECT_TRUE(failedOnce(cancelled, ErrorKind::cancelled, -1));
    EXPECT_EQ(s.s3api("list-multipart-uploads", {"--query", "Uploads[].Key"}), "None");
    EXPECT_EQ(test::listAll(s.client, s.bucket(), 10).keys, std::vector<std::string>{});
}

}  // namespace
}  // namespace quilo
