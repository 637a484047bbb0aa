// Uploads and downloads against RGW and s3rver, checked byte for byte and against awscli.
// The two 200 MiB round trips take most of the run time.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "integration/ObjectTestSupport.hpp"
#include "quilo/quilo.hpp"

namespace quilo {
namespace {

namespace fs = std::filesystem;
using test::Event;
using test::failedWith;
using test::ObjectEnded;
using test::readFile;

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

// The first line of awscli's text output, without quotes.
std::string awsValue(const test::Server& server, std::vector<std::string> args) {
    args.insert(args.end(), {"--output", "text"});
    std::string text = test::awsOut(server, args);
    text.resize(text.find('\n') == std::string::npos ? text.size() : text.find('\n'));
    return text.size() >= 2 && text.front() == '"' ? text.substr(1, text.size() - 2) : text;
}

// One success, its last call `finished`, whose progress never goes back, knows no total but
// `total` (0 until known) and ends at (total, total).
::testing::AssertionResult moved(const ObjectEnded& transfer, std::uint64_t total) {
    if (!transfer.ok() || transfer.outcome.calls().back().event != Event::finished)
        return ::testing::AssertionFailure() << "not one success, last: " << transfer.summary();
    const auto reports = transfer.outcome.progress();
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

// Multipart above 5 MiB while it lives; the setting is process-wide.
struct SmallParts {
    explicit SmallParts(bool small) {
        if (small)
            S3ObjectRequest::setMultipartThreshold(5 * kMiB);
    }
    ~SmallParts() { S3ObjectRequest::setMultipartThreshold(threshold); }
    std::uint64_t threshold = S3ObjectRequest::multipartThreshold();
};

StringMap uploadOf(const test::Scratch& s, const std::string& key, const fs::path& file) {
    return {{"bucket", s.bucket()}, {"key", key}, {"filePath", file.string()}};
}

ObjectEnded upload(test::Scratch& s, const StringMap& param) {
    return test::op(s.client, &Quilo::uploadObject, param, std::chrono::seconds(300));
}

std::string headETag(const test::Scratch& s, const std::string& key) {
    return awsValue(s.server, {"s3api", "head-object", "--bucket", s.bucket(), "--key", key,
                               "--query", "ETag"});
}

// Uploads `size` random bytes as `key`, reads them back into a file that held something else
// and, below 100 MiB, into memory; returns the upload's ETag.
std::string roundTrip(test::Scratch& s, const std::string& key, std::uint64_t size) {
    const auto source = s.dir / (key + ".up"), copy = s.dir / (key + ".down");
    writeRandomFile(source, size);
    std::ofstream(copy, std::ios::binary) << "an older and longer file";
    const auto up = upload(s, uploadOf(s, key, source));
    EXPECT_TRUE(moved(up, size)) << "upload of " << size << " bytes";
    const auto down = test::download(s.client, s.bucket(), key, copy);
    EXPECT_TRUE(moved(down, size)) << "download of " << size << " bytes";
    if (!up.ok() || !down.ok())
        return "the upload or the download failed";
    EXPECT_EQ(down.request->etag(), up.request->etag());
    EXPECT_TRUE(down.request->responseData().empty());
    EXPECT_TRUE(sameBytes(source, copy)) << size << " bytes";
    if (size < 100 * kMiB) {
        const auto memory = test::download(s.client, s.bucket(), key);
        EXPECT_TRUE(moved(memory, size)) << "download to memory of " << size << " bytes";
        EXPECT_TRUE(memory.ok() && memory.request->responseData() == readFile(source));
    }
    return up.request->etag();
}

class Transfers : public test::BothServers {
  protected:
    const bool rgw_ = GetParam() == "rgw";
};

// Our round trips, then awscli reading ours and we reading its multipart upload.
TEST_P(Transfers, RoundTripsAreByteExactAndAwscliAgrees) {
    const std::vector<std::pair<std::string, std::uint64_t>> sizes = {
        {"empty", 0}, {"one-byte", 1}, {"ten-mib", 10 * kMiB}, {"large", 200 * kMiB}};
    for (const auto& [key, size] : sizes) {
        const auto etag = roundTrip(s_, key, size);
        EXPECT_EQ(etag, headETag(s_, key)) << key;
        // 200 MiB goes up in 13 parts of 16 MiB; s3rver's ETag is the whole object's MD5.
        EXPECT_EQ(etag.ends_with("-13"), rgw_ && size == 200 * kMiB) << key << ": " << etag;
    }
    const auto url = "s3://" + s_.bucket() + "/";
    const auto fetched = test::aws(s_.server, {"s3", "cp", url + "ten-mib", s_.dir / "ten.aws"});
    ASSERT_EQ(fetched.exitCode, 0) << fetched.err;
    EXPECT_TRUE(sameBytes(s_.dir / "ten-mib.up", s_.dir / "ten.aws"));

    // Above 8 MiB awscli uploads in 8 MiB parts: an ETag that is no MD5 of the bytes.
    writeRandomFile(s_.dir / "theirs", 12 * kMiB + 3);
    const auto put = test::aws(s_.server, {"s3", "cp", s_.dir / "theirs", url + "theirs"});
    ASSERT_EQ(put.exitCode, 0) << put.err;
    const auto theirETag = headETag(s_, "theirs");
    EXPECT_EQ(theirETag.ends_with("-2"), rgw_) << theirETag;
    const auto down = test::download(s_.client, s_.bucket(), "theirs", s_.dir / "theirs.quilo");
    ASSERT_TRUE(moved(down, 12 * kMiB + 3));
    EXPECT_EQ(down.request->etag(), theirETag);
    EXPECT_TRUE(sameBytes(s_.dir / "theirs", s_.dir / "theirs.quilo"));
}

TEST_P(Transfers, FailuresReportTheirCauseAndLeaveTheFilesAlone) {
    const auto dest = s_.dir / "dest";
    fs::create_directories(dest);
    std::ofstream(dest / "existing", std::ios::binary) << "kept as it was";
    for (const auto* name : {"existing", "absent"})
        EXPECT_TRUE(failedWith(test::download(s_.client, s_.bucket(), "no-such-key", dest / name),
                               ErrorKind::service, "NoSuchKey", 404));
    EXPECT_EQ(readFile(dest / "existing"), "kept as it was");
    std::vector<fs::path> left(fs::directory_iterator(dest), fs::directory_iterator{});
    EXPECT_EQ(left, std::vector<fs::path>{dest / "existing"}) << "no temporary file stays";

    auto noPath = uploadOf(s_, "no-path", "");
    noPath.erase("filePath");
    for (const auto& param :
         {uploadOf(s_, "missing", s_.dir / "missing"), uploadOf(s_, "directory", dest),
          uploadOf(s_, "empty-path", ""), noPath}) {
        const auto up = upload(s_, param);
        EXPECT_TRUE(failedWith(up, ErrorKind::localFile, "", 0)) << param.at("key");
        EXPECT_EQ(up.outcome.count(Event::progress), 0) << param.at("key");
    }
    EXPECT_EQ(test::listAll(s_.client, s_.bucket(), 10).keys, std::vector<std::string>{});

    writeRandomFile(s_.dir / "6mib", 6 * kMiB);
    auto param = uploadOf(s_, "key", s_.dir / "6mib");
    param["bucket"] = test::uniqueBucketName("absent");
    for (const bool parts : {false, true}) {
        const SmallParts small(parts);
        const auto up = upload(s_, param);
        EXPECT_TRUE(failedWith(up, ErrorKind::service, "NoSuchBucket", 404)) << parts;
        // RGW answers Expect: 100-continue, so the body never goes out.
        for (const auto& [sent, total] : up.outcome.progress())
            EXPECT_TRUE(sent == 0 || !rgw_) << sent << " of " << total;
    }

    // An empty body writes nothing while it streams: its file is made only at the end.
    std::ofstream(s_.dir / "empty").close();
    writeRandomFile(s_.dir / "full", 100 * 1024);
    for (const auto* key : {"empty", "full"}) {
        ASSERT_TRUE(upload(s_, uploadOf(s_, key, s_.dir / key)).ok());
        EXPECT_TRUE(failedWith(test::download(s_.client, s_.bucket(), key, s_.dir / "no" / "file"),
                               ErrorKind::localFile, "CannotWriteFile", -1))
            << key;
    }
    EXPECT_FALSE(fs::exists(s_.dir / "no"));
}

INSTANTIATE_TEST_SUITE_P(Servers, Transfers, test::bothServers(), test::serverName);

TEST(RgwTransfers, PublicReadGrantsAllUsersRead) {
    test::Scratch s(test::rgw());
    writeRandomFile(s.dir / "source", 6 * kMiB);
    auto param = uploadOf(s, "private", s.dir / "source");
    ASSERT_TRUE(upload(s, param).ok());
    param["accessPolicy"] = "public-read";
    for (const std::string key : {"public", "public-parts"}) {
        const SmallParts small(key == "public-parts");
        param["key"] = key;
        ASSERT_TRUE(upload(s, param).ok()) << key;
    }
    EXPECT_TRUE(headETag(s, "public-parts").ends_with("-1"));
    for (const std::string key : {"private", "public", "public-parts"})
        EXPECT_EQ(awsValue(s.server, {"s3api", "get-object-acl", "--bucket", s.bucket(), "--key",
                                      key, "--query",
                                      "Grants[?Grantee.URI=='http://acs.amazonaws.com/groups/"
                                      "global/AllUsers'].Permission"}),
                  key == "private" ? "" : "READ")
            << key;
}

TEST(HttpsTransfers, AFileRoundTripsOverTls) {
    test::Scratch s(test::rgwHttps());
    ASSERT_EQ(s.client.globleConfig()->at("useSSL"), Value(true));
    EXPECT_EQ(roundTrip(s, "tls", 5 * kMiB + 1).size(), 32u);
}

}  // namespace
}  // namespace quilo
