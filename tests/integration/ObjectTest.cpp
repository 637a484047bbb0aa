// The object operations against RGW and s3rver: uploads, downloads, copies and deletes, checked
// byte for byte and against awscli. The two 200 MiB round trips take most of the run time.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "integration/Blocking.hpp"
#include "quilo/quilo.hpp"
#include "support/FaultProxy.hpp"

namespace quilo {
namespace {

namespace fs = std::filesystem;
using test::Event;
using test::failedOnce;
using test::ObjectEnded;

constexpr std::uint64_t kMiB = 1u << 20;

// Random bytes, so that a part out of place shows.
void writeRandomFile(const fs::path& path, std::uint64_t size) {
    const auto made = test::run({"dd", "if=/dev/urandom", "of=" + path.string(), "bs=1M",
                                 "count=" + std::to_string(size), "iflag=count_bytes,fullblock"});
    ASSERT_EQ(made.exitCode, 0) << made.err;
}

::testing::AssertionResult sameBytes(const fs::path& expected, const fs::path& actual) {
    const auto compared = test::run({"cmp", expected.string(), actual.string()});
    if (compared.exitCode == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << compared.out << compared.err;
}

// awscli's s3api answer for `key` of the scratch bucket, as text, without the newline and quotes.
std::string awsValue(const test::Scratch& s, const std::string& command, const std::string& key,
                     const std::string& query) {
    std::string text = test::awsOut(s.server, {"s3api", command, "--bucket", s.bucket(), "--key",
                                               key, "--query", query, "--output", "text"});
    text.resize(text.find('\n') == std::string::npos ? text.size() : text.find('\n'));
    return text.size() >= 2 && text.front() == '"' ? text.substr(1, text.size() - 2) : text;
}

// One success, its last call `finished`, whose progress never goes back, knows no total but
// `total` (0 until known) and ends at (total, total).
::testing::AssertionResult moved(const ObjectEnded& transfer, std::uint64_t total) {
    if (!transfer.ok() || transfer.calls().back().event != Event::finished)
        return ::testing::AssertionFailure() << "not one success, last: " << transfer.summary();
    const auto reports = transfer.progress();
    std::pair<std::uint64_t, std::uint64_t> last{0, 0};
    for (const auto& [sent, known] : reports) {
        if (sent < last.first || sent > total || (known != total && (known != 0 || last.second)))
            return ::testing::AssertionFailure()
                   << "progress (" << sent << ", " << known << ") after (" << last.first << ", "
                   << last.second << ") of " << total;
        last = {sent, known};
    }
    if (reports.empty() || last != std::pair{total, total})
        return ::testing::AssertionFailure() << reports.size() << " progress reports, the last ("
                                             << last.first << ", " << last.second << ")";
    return ::testing::AssertionSuccess();
}

// Uploads `size` random bytes as `key` and reads them back into a file that held something
// else; returns the upload's ETag.
std::string roundTrip(test::Scratch& s, const std::string& key, std::uint64_t size) {
    const auto source = s.dir / (key + ".up"), copy = s.dir / (key + ".down");
    writeRandomFile(source, size);
    std::ofstream(copy, std::ios::binary) << "an older and longer file";
    const auto up = test::upload(s.client, s.bucket(), key, source);
    EXPECT_TRUE(moved(up, size)) << "upload of " << size << " bytes";
    const auto down = test::download(s.client, s.bucket(), key, copy);
    EXPECT_TRUE(moved(down, size)) << "download of " << size << " bytes";
    if (!up.ok() || !down.ok())
        return "the upload or the download failed";
    EXPECT_EQ(down.request()->etag(), up.request()->etag());
    EXPECT_TRUE(sameBytes(source, copy)) << size << " bytes";
    return up.request()->etag();
}

class Objects : public test::BothServers {
  protected:
    const bool rgw_ = GetParam() == "rgw";
};

// Our round trips, checked against awscli's ETags, and we reading its multipart upload; then
// copies within and across buckets and deletes.
TEST_P(Objects, RoundTripsAreByteExactAndAwscliAgrees) {
    std::string etag;
    for (const auto& [key, size] : std::vector<std::pair<std::string, std::uint64_t>>{
             {"large", 200 * kMiB}, {"empty", 0}, {"one-byte", 1}, {"ten-mib", 10 * kMiB}}) {
        SCOPED_TRACE(key);
        etag = roundTrip(s_, key, size);
        EXPECT_EQ(etag, awsValue(s_, "head-object", key, "ETag"));
        // 200 MiB goes up in 13 parts of 16 MiB; s3rver's ETag is the whole object's MD5.
        EXPECT_EQ(etag.ends_with("-13"), rgw_ && size == 200 * kMiB) << etag;
    }
    const auto url = "s3://" + s_.bucket() + "/";

    // Above 8 MiB awscli uploads in 8 MiB parts: an ETag that is no MD5 of the bytes.
    writeRandomFile(s_.dir / "theirs", 12 * kMiB + 3);
    const auto put = test::aws(s_.server, {"s3", "cp", s_.dir / "theirs", url + "theirs"});
    ASSERT_EQ(put.exitCode, 0) << put.err;
    const auto theirETag = awsValue(s_, "head-object", "theirs", "ETag");
    EXPECT_EQ(theirETag.ends_with("-2"), rgw_) << theirETag;
    const auto down = test::download(s_.client, s_.bucket(), "theirs", s_.dir / "theirs.quilo");
    ASSERT_TRUE(moved(down, 12 * kMiB + 3));
    EXPECT_EQ(down.request()->etag(), theirETag);
    EXPECT_TRUE(sameBytes(s_.dir / "theirs", s_.dir / "theirs.quilo"));

    // ten-mib, whose ETag is the last one kept, within the bucket and into another.
    const auto from = s_.bucket(), to = s_.addBucket();
    const auto bytes = test::readFile(s_.dir / "ten-mib.up");
    for (const auto& [bucket, key] :
         {std::pair{from, std::string("copies/ten")}, std::pair{to, std::string("ten-mib")}}) {
        SCOPED_TRACE(bucket + "/" + key);
        const auto copied = test::copy(s_.client, from, "ten-mib", bucket, key);
        ASSERT_TRUE(copied.ok()) << copied.summary();
        EXPECT_EQ(copied.request()->etag(), etag);
        const auto copy = test::download(s_.client, bucket, key);
        EXPECT_TRUE(copy.ok() && copy.request()->responseData() == bytes);
        EXPECT_TRUE(
            test::op(s_.client, &Quilo::deleteObject, {{"bucket", bucket}, {"key", key}}).ok());
        EXPECT_TRUE(failedOnce(test::download(s_.client, bucket, key), ErrorKind::service, 404,
                               "NoSuchKey"));
    }
    EXPECT_TRUE(failedOnce(test::copy(s_.client, from, "none", to, "none"), ErrorKind::service, 404,
                           "NoSuchKey"));
}

TEST_P(Objects, FailuresReportTheirCauseAndLeaveTheFilesAlone) {
    const auto dest = s_.dir / "dest";
    fs::create_directories(dest);
    std::ofstream(dest / "existing", std::ios::binary) << "kept as it was";
    for (const auto* name : {"existing", "absent"})
        EXPECT_TRUE(failedOnce(test::download(s_.client, s_.bucket(), "no-such-key", dest / name),
                               ErrorKind::service, 404, "NoSuchKey"));
    EXPECT_EQ(test::readFile(dest / "existing"), "kept as it was");
    std::vector<fs::path> left(fs::directory_iterator(dest), fs::directory_iterator{});
    EXPECT_EQ(left, std::vector<fs::path>{dest / "existing"}) << "no temporary file stays";

    const auto up = test::upload(s_.client, s_.bucket(), "missing", s_.dir / "missing");
    EXPECT_TRUE(failedOnce(up, ErrorKind::localFile));
    EXPECT_EQ(up.count(Event::progress), 0);
    EXPECT_TRUE(failedOnce(
        test::upload(s_.client, test::uniqueBucketName("absent"), "k", s_.file("one", "1")),
        ErrorKind::service, 404, "NoSuchBucket"));
    EXPECT_EQ(test::listAll(s_.client, s_.bucket(), 10).keys, std::vector<std::string>{});

    // An empty body writes nothing while it streams: its file is made only at the end.
    for (const auto* key : {"empty", "one"}) {
        ASSERT_TRUE(
            test::upload(s_.client, s_.bucket(), key, s_.file(key, key[0] == 'o' ? "1" : "")).ok());
        EXPECT_TRUE(failedOnce(test::download(s_.client, s_.bucket(), key, s_.dir / "no" / "file"),
                               ErrorKind::localFile, -1, "CannotWriteFile"))
            << key;
    }
    EXPECT_FALSE(fs::exists(s_.dir / "no"));

    // A body changed on the way, in one PUT or in a part, is refused before it replaces what
    // was there (s3rver checks no digest).
    if (!rgw_)
        return;
    S3ObjectRequest::setMultipartThreshold(5 * kMiB);  // put back by the scratch
    writeRandomFile(s_.dir / "parts", 6 * kMiB);
    test::FaultProxy proxy(s_.server.host, [](auto&) { return test::ProxyFault::flipByte; });
    for (const auto& source : {s_.dir / "one", s_.dir / "parts"}) {
        S3Request::setDefaultHost(proxy.host());
        const auto changed = test::upload(s_.client, s_.bucket(), "one", source);
        S3Request::setDefaultHost(s_.server.host);
        EXPECT_TRUE(failedOnce(changed, ErrorKind::service, 400, "XAmzContentSHA256Mismatch"))
            << source;
        const auto kept = test::download(s_.client, s_.bucket(), "one");
        EXPECT_TRUE(kept.ok() && kept.request()->responseData() == "1") << source;
    }
}

QUILO_ON_BOTH_SERVERS(Objects);

}  // namespace
}  // namespace quilo
