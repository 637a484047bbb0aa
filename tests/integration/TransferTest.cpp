// Uploads and downloads through the facade against RGW and s3rver, checked byte for byte and
// against awscli's view of the same objects.
//
// The two 200 MiB cases take most of the run time, about 5 to 10 s each.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "quilo/quilo.hpp"
#include "support/Outcome.hpp"
#include "support/Servers.hpp"
#include "support/SharedState.hpp"

namespace quilo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Event;
using test::Server;
using Transfer = test::Outcome<QuiloObjectRquest>;

constexpr std::uint64_t kMiB = 1u << 20;
constexpr const char* kAllUsers = "http://acs.amazonaws.com/groups/global/AllUsers";

struct ServerCase {
    const char* name;
    Server (*server)();
    // A multipart object's ETag is "<MD5 of the parts' MD5s>-<parts>" (s3rver gives the MD5 of
    // the whole object instead).
    bool partsETag;
    bool listsMultipartUploads;
    // Refuses a request before asking for its body (s3rver, on Node, says 100 Continue at once).
    bool refusesBeforeContinue;
};

void PrintTo(const ServerCase& c, std::ostream* out) {
    *out << c.name;
}

// Random bytes, written a chunk at a time so that large files never sit in memory.
void writeRandomFile(const fs::path& path, std::uint64_t size, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    std::vector<std::uint64_t> chunk(kMiB / sizeof(std::uint64_t));
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (std::uint64_t left = size; left > 0;) {
        for (auto& word : chunk) {
            word = random();
        }
        const auto n = std::min<std::uint64_t>(left, kMiB);
        out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(n));
        left -= n;
    }
    ASSERT_TRUE(out.flush()) << "cannot write " << path;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// cmp streams both files, whatever their size.
::testing::AssertionResult sameBytes(const fs::path& expected, const fs::path& actual) {
    const auto compared = test::run({"cmp", expected.string(), actual.string()});
    if (compared.exitCode == 0) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << compared.out << compared.err;
}

std::string trimmed(std::string text) {
    const auto junk = [](char c) { return c == '"' || c == '\n' || c == '\r' || c == ' '; };
    while (!text.empty() && junk(text.back())) {
        text.pop_back();
    }
    text.erase(text.begin(), std::find_if_not(text.begin(), text.end(), junk));
    return text;
}

// The object's ETag as awscli sees it, without quotes.
std::string awsETag(const Server& server, const std::string& bucket, const std::string& key) {
    const auto head = test::aws(server, {"s3api", "head-object", "--bucket", bucket, "--key", key,
                                         "--query", "ETag", "--output", "text"});
    EXPECT_EQ(head.exitCode, 0) << head.err;
    return trimmed(head.out);
}

// The keys awscli lists in `bucket`, tab-separated ("None" for an empty bucket).
std::string awsKeys(const Server& server, const std::string& bucket) {
    const auto listed = test::aws(server, {"s3api", "list-objects", "--bucket", bucket, "--query",
                                           "Contents[].Key", "--output", "text"});
    EXPECT_EQ(listed.exitCode, 0) << listed.err;
    return trimmed(listed.out);
}

// The permissions the object's ACL grants to `uri`, as awscli reads them.
std::string awsGroupPermissions(const Server& server, const std::string& bucket,
                                const std::string& key, const std::string& uri) {
    const auto acl =
        test::aws(server, {"s3api", "get-object-acl", "--bucket", bucket, "--key", key, "--query",
                           "Grants[?Grantee.URI=='" + uri + "'].Permission", "--output", "text"});
    EXPECT_EQ(acl.exitCode, 0) << acl.err;
    return trimmed(acl.out);
}

// Multipart settings are process-wide; put them back for the next test of this process.
class MultipartSettings {
  public:
    MultipartSettings(std::uint64_t threshold, std::uint64_t partSize)
        : threshold_(S3ObjectRequest::multipartThreshold()),
          partSize_(S3ObjectRequest::multipartPartSize()) {
        S3ObjectRequest::setMultipartThreshold(threshold);
        S3ObjectRequest::setMultipartPartSize(partSize);
    }
    ~MultipartSettings() {
        S3ObjectRequest::setMultipartThreshold(threshold_);
        S3ObjectRequest::setMultipartPartSize(partSize_);
    }
    MultipartSettings(const MultipartSettings&) = delete;
    MultipartSettings& operator=(const MultipartSettings&) = delete;

  private:
    std::uint64_t threshold_, partSize_;
};

Transfer upload(const StringMap& param, std::chrono::seconds timeout = 60s) {
    Transfer transfer;
    Quilo::sharedInstance()->uploadObject(param, transfer.transferCallbacks());
    EXPECT_TRUE(transfer.waitForEnd(timeout)) << "the upload did not end: " << transfer.summary();
    return transfer;
}

Transfer download(const StringMap& param, std::chrono::seconds timeout = 60s) {
    Transfer transfer;
    Quilo::sharedInstance()->downloadObject(param, transfer.transferCallbacks());
    EXPECT_TRUE(transfer.waitForEnd(timeout)) << "the download did not end: " << transfer.summary();
    return transfer;
}

// One success, with progress that only grows, knows no total but `total`, and ends at
// (total, total) before `finished`.
::testing::AssertionResult succeeded(const Transfer& transfer, std::uint64_t total) {
    if (transfer.count(Event::finished) != 1 || transfer.count(Event::failed) != 0) {
        return ::testing::AssertionFailure() << transfer.summary();
    }
    if (!transfer.oneRequest()) {
        return ::testing::AssertionFailure() << "the callables received different requests";
    }
    std::uint64_t lastSent = 0, lastTotal = 0;
    int reports = 0;
    bool finished = false;
    for (const auto& call : transfer.calls()) {
        if (call.event == Event::finished) {
            finished = true;
        }
        if (call.event != Event::progress) {
            continue;
        }
        if (finished) {
            return ::testing::AssertionFailure() << "progress after finished";
        }
        if (call.sentSize < lastSent || call.sentSize > total) {
            return ::testing::AssertionFailure()
                   << "report " << reports << " says " << call.sentSize << " after " << lastSent
                   << " of " << total;
        }
        if (call.total != total && (call.total != 0 || lastTotal != 0)) {
            return ::testing::AssertionFailure()
                   << "report " << reports << " gives the total " << call.total << " after "
                   << lastTotal << "; expected " << total;
        }
        lastSent = call.sentSize;
        lastTotal = call.total;
        ++reports;
    }
    if (reports == 0 || lastSent != total || lastTotal != total) {
        return ::testing::AssertionFailure()
               << reports << " progress reports, the last (" << lastSent << ", " << lastTotal
               << "); expected (" << total << ", " << total << ")";
    }
    return ::testing::AssertionSuccess();
}

// Exactly one failure and no success; the error, or a default one when there is none.
Error failedOnce(const Transfer& transfer) {
    EXPECT_EQ(transfer.count(Event::failed), 1) << transfer.summary();
    EXPECT_EQ(transfer.count(Event::finished), 0) << transfer.summary();
    const auto request = transfer.request();
    if (!request || !request->error()) {
        ADD_FAILURE() << "no error to read: " << transfer.summary();
        return {};
    }
    return *request->error();
}

// A bucket and a scratch folder of one test, on one server; both gone afterwards.
class TransferTest : public ::testing::Test {
  protected:
    void open(Server server) {
        server_ = std::move(server);
        test::useServer(server_);
        static std::atomic<int> serial{0};
        dir_ = fs::temp_directory_path() /
               ("quilo-transfer-" + std::to_string(::getpid()) + "-" + std::to_string(++serial));
        fs::create_directories(dir_);
        const auto name = test::uniqueBucketName("transfer-" + server_.name);
        test::Outcome<QuiloBucketRequest> made;
        Quilo::sharedInstance()->createBucket(name, made.callbacks());
        ASSERT_TRUE(made.waitForEnd(30s, 0ms)) << made.summary();
        ASSERT_EQ(made.count(Event::finished), 1) << made.summary();
        bucket_ = name;
    }

    // awscli is slow to start, so the clean-up goes through the library and falls back on it.
    void TearDown() override {
        if (!bucket_.empty() && !removeBucket()) {
            test::aws(server_, {"s3", "rb", "--force", "s3://" + bucket_});
        }
        if (!dir_.empty()) {
            std::error_code ignored;
            fs::remove_all(dir_, ignored);
        }
    }

    bool removeBucket() {
        auto client = Quilo::sharedInstance();
        test::Outcome<QuiloBucketRequest> listed;
        client->listObjects({{"bucket", bucket_},
                             {"maxKeys", std::int32_t{1000}},
                             {"prefix", ""},
                             {"delimiter", ""},
                             {"marker", ""}},
                            listed.callbacks());
        if (!listed.waitForEnd(30s, 0ms) || listed.count(Event::finished) != 1) {
            return false;
        }
        for (const auto& item : listed.request()->objects()) {
            test::Outcome<QuiloObjectRquest> removed;
            client->deleteObject(object(item.key), removed.callbacks());
            removed.waitForEnd(30s, 0ms);
        }
        test::Outcome<QuiloBucketRequest> removed;
        client->deleteBucket(bucket_, removed.callbacks());
        return removed.waitForEnd(30s, 0ms) && removed.count(Event::finished) == 1;
    }

    StringMap object(const std::string& key) const { return {{"bucket", bucket_}, {"key", key}}; }
    StringMap uploadOf(const std::string& key, const fs::path& file) const {
        auto param = object(key);
        param["filePath"] = file.string();
        return param;
    }
    StringMap downloadTo(const std::string& key, const fs::path& file) const {
        auto param = object(key);
        param["downloadDestinationPath"] = file.string();
        return param;
    }

    // Uploads `size` random bytes as `key` and reads them back into a file, all checked;
    // returns the ETag the upload reported.
    std::string roundTrip(const std::string& key, std::uint64_t size,
                          std::chrono::seconds timeout = 60s) {
        const auto source = dir_ / (key + ".up");
        const auto copy = dir_ / (key + ".down");
        writeRandomFile(source, size, size);
        // A download replaces what was there.
        std::ofstream(copy, std::ios::binary) << "an older and longer file";

        const auto up = upload(uploadOf(key, source), timeout);
        EXPECT_TRUE(succeeded(up, size)) << "upload of " << size << " bytes";
        const auto down = download(downloadTo(key, copy), timeout);
        EXPECT_TRUE(succeeded(down, size)) << "download of " << size << " bytes";
        if (!up.request() || !down.request()) {
            return {};
        }
        EXPECT_EQ(down.request()->etag(), up.request()->etag());
        EXPECT_TRUE(down.request()->responseData().empty());
        EXPECT_TRUE(sameBytes(source, copy)) << size << " bytes";
        return up.request()->etag();
    }

    test::SharedStateGuard restore_;
    Server server_;
    std::string bucket_;
    fs::path dir_;
};

class Transfers : public TransferTest, public ::testing::WithParamInterface<ServerCase> {
  protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(open(GetParam().server())); }
};

TEST_P(Transfers, SmallFilesComeBackByteExact) {
    EXPECT_EQ(roundTrip("empty", 0), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(roundTrip("one-byte", 1).size(), 32u);
    const auto etag = roundTrip("ten-mib", 10 * kMiB);
    EXPECT_EQ(etag.size(), 32u) << etag;
    EXPECT_EQ(etag, awsETag(server_, bucket_, "ten-mib"));
}

TEST_P(Transfers, ADownloadWithoutDestinationKeepsTheBytesInMemory) {
    const auto source = dir_ / "source";
    writeRandomFile(source, 3 * kMiB + 5, 7);
    ASSERT_TRUE(succeeded(upload(uploadOf("memory", source)), 3 * kMiB + 5));

    const auto down = download(object("memory"));
    ASSERT_TRUE(succeeded(down, 3 * kMiB + 5));
    EXPECT_TRUE(down.request()->responseData() == readFile(source))
        << "got " << down.request()->responseData().size() << " bytes";
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1)
        << "a download to memory wrote a file";
}

// 200 MiB: 13 parts of 16 MiB, four in flight.
TEST_P(Transfers, ALargeFileGoesUpInPartsAndComesBackByteExact) {
    const auto etag = roundTrip("large", 200 * kMiB, 300s);
    EXPECT_EQ(etag, awsETag(server_, bucket_, "large"));
    if (GetParam().partsETag) {
        EXPECT_TRUE(etag.ends_with("-13")) << etag;
    } else {
        EXPECT_EQ(etag.size(), 32u) << etag;
    }
    if (!GetParam().listsMultipartUploads) {
        return;
    }
    const auto pending = test::aws(server_, {"s3api", "list-multipart-uploads", "--bucket", bucket_,
                                             "--query", "Uploads[].UploadId", "--output", "text"});
    EXPECT_EQ(pending.exitCode, 0) << pending.err;
    EXPECT_EQ(trimmed(pending.out), "None") << "uploads left open";
}

TEST_P(Transfers, AwscliAndWeReadEachOthersObjects) {
    const auto ours = dir_ / "ours";
    writeRandomFile(ours, 10 * kMiB, 11);
    ASSERT_TRUE(succeeded(upload(uploadOf("ours", ours)), 10 * kMiB));
    const auto readByAws = dir_ / "ours.aws";
    const auto fetched =
        test::aws(server_, {"s3", "cp", "s3://" + bucket_ + "/ours", readByAws.string()});
    ASSERT_EQ(fetched.exitCode, 0) << fetched.err;
    EXPECT_TRUE(sameBytes(ours, readByAws));

    // Above 8 MiB awscli uploads in 8 MiB parts: an ETag that is not an MD5.
    const auto theirs = dir_ / "theirs";
    writeRandomFile(theirs, 12 * kMiB + 3, 13);
    const auto put =
        test::aws(server_, {"s3", "cp", theirs.string(), "s3://" + bucket_ + "/theirs"});
    ASSERT_EQ(put.exitCode, 0) << put.err;
    const auto theirETag = awsETag(server_, bucket_, "theirs");
    if (GetParam().partsETag) {
        EXPECT_TRUE(theirETag.ends_with("-2")) << theirETag;
    }

    const auto readByUs = dir_ / "theirs.quilo";
    const auto down = download(downloadTo("theirs", readByUs));
    ASSERT_TRUE(succeeded(down, 12 * kMiB + 3));
    EXPECT_EQ(down.request()->etag(), theirETag);
    EXPECT_TRUE(sameBytes(theirs, readByUs));
}

TEST_P(Transfers, UploadIntoAMissingBucketFailsWithNoSuchBucket) {
    const auto source = dir_ / "source";
    writeRandomFile(source, 6 * kMiB, 17);
    const auto check = [&](const Transfer& transfer) {
        const auto error = failedOnce(transfer);
        EXPECT_EQ(error.kind, ErrorKind::service) << error.description();
        EXPECT_EQ(error.code, "NoSuchBucket") << error.description();
        EXPECT_EQ(error.httpStatus, 404);
        // Expect: 100-continue lets the service refuse before the body goes out.
        for (const auto& [sent, total] : transfer.progress()) {
            EXPECT_TRUE(sent == 0 || !GetParam().refusesBeforeContinue) << sent << " of " << total;
        }
    };
    auto param = uploadOf("key", source);
    param["bucket"] = test::uniqueBucketName("absent");
    check(upload(param));
    // The same through a multipart upload, which fails when it initiates.
    MultipartSettings small(5 * kMiB, 5 * kMiB);
    check(upload(param));
}

TEST_P(Transfers, ADownloadOfAMissingKeyLeavesTheDestinationAlone) {
    const auto existing = dir_ / "existing";
    std::ofstream(existing, std::ios::binary) << "kept as it was";
    const auto absent = dir_ / "absent";

    for (const auto& destination : {existing, absent}) {
        const auto error = failedOnce(download(downloadTo("no-such-key", destination)));
        EXPECT_EQ(error.kind, ErrorKind::service) << error.description();
        EXPECT_EQ(error.code, "NoSuchKey") << error.description();
        EXPECT_EQ(error.httpStatus, 404);
    }
    EXPECT_EQ(readFile(existing), "kept as it was");
    EXPECT_FALSE(fs::exists(absent));
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir_)) {
        left.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(left, std::vector<std::string>{"existing"});
}

TEST_P(Transfers, AnUploadWithoutAReadableFileFailsLocallyAndSendsNothing) {
    const auto folder = dir_ / "folder";
    fs::create_directories(folder);
    const std::vector<std::pair<std::string, StringMap>> cases = {
        {"missing file", uploadOf("missing", dir_ / "missing")},
        {"directory", uploadOf("directory", folder)},
        {"no filePath", object("no-path")},
        {"empty filePath", uploadOf("empty-path", "")},
    };
    for (const auto& [what, param] : cases) {
        const auto transfer = upload(param);
        const auto error = failedOnce(transfer);
        EXPECT_EQ(error.kind, ErrorKind::localFile) << what << ": " << error.description();
        EXPECT_EQ(error.httpStatus, 0) << what;
        EXPECT_EQ(transfer.count(Event::progress), 0) << what;
    }
    EXPECT_EQ(awsKeys(server_, bucket_), "None");
}

TEST_P(Transfers, ADownloadIntoAMissingFolderFailsLocally) {
    const auto source = dir_ / "source";
    writeRandomFile(source, 100 * 1024, 19);
    ASSERT_TRUE(succeeded(upload(uploadOf("key", source)), 100 * 1024));
    // An empty body writes nothing while it streams: its file is made at the end.
    const auto empty = dir_ / "empty";
    std::ofstream(empty, std::ios::binary).close();
    ASSERT_TRUE(succeeded(upload(uploadOf("empty", empty)), 0));

    const auto nowhere = dir_ / "no-such-folder";
    for (const auto* key : {"key", "empty"}) {
        const auto error = failedOnce(download(downloadTo(key, nowhere / "file")));
        EXPECT_EQ(error.kind, ErrorKind::localFile) << key << ": " << error.description();
    }
    EXPECT_FALSE(fs::exists(nowhere));
}

INSTANTIATE_TEST_SUITE_P(Servers, Transfers,
                         ::testing::Values(ServerCase{"rgw", &test::rgw, true, true, true},
                                           ServerCase{"s3rver", &test::s3rver, false, false,
                                                      false}),
                         [](const auto& info) { return std::string(info.param.name); });

class RgwTransfers : public TransferTest {
  protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(open(test::rgw())); }
};

TEST_F(RgwTransfers, TheAccessPolicyGoesOnTheObject) {
    const auto source = dir_ / "source";
    writeRandomFile(source, 6 * kMiB, 23);
    auto shared = uploadOf("public", source);
    shared["accessPolicy"] = "public-read";
    ASSERT_TRUE(succeeded(upload(shared), 6 * kMiB));
    ASSERT_TRUE(succeeded(upload(uploadOf("private", source)), 6 * kMiB));
    {
        MultipartSettings small(5 * kMiB, 5 * kMiB);
        shared["key"] = "public-parts";
        ASSERT_TRUE(succeeded(upload(shared), 6 * kMiB));
    }
    EXPECT_EQ(awsGroupPermissions(server_, bucket_, "public", kAllUsers), "READ");
    EXPECT_EQ(awsGroupPermissions(server_, bucket_, "public-parts", kAllUsers), "READ");
    EXPECT_TRUE(awsETag(server_, bucket_, "public-parts").ends_with("-2"));
    EXPECT_EQ(awsGroupPermissions(server_, bucket_, "private", kAllUsers), "");

    // Anyone may read the public object: a GET without keys.
    const auto anonymous = test::run({"curl", "-sf", "-o", (dir_ / "anonymous").string(),
                                      server_.endpoint() + "/" + bucket_ + "/public"});
    EXPECT_EQ(anonymous.exitCode, 0) << anonymous.err;
    EXPECT_TRUE(sameBytes(source, dir_ / "anonymous"));
    const auto refused = test::run({"curl", "-sf", "-o", (dir_ / "refused").string(),
                                    server_.endpoint() + "/" + bucket_ + "/private"});
    EXPECT_NE(refused.exitCode, 0);
}

class HttpsTransfers : public TransferTest {
  protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(open(test::rgwHttps())); }
};

TEST_F(HttpsTransfers, AFileRoundTripsOverTls) {
    ASSERT_EQ(Quilo::sharedInstance()->globleConfig()->at("useSSL"), Value(true));
    const auto etag = roundTrip("tls", 5 * kMiB + 1);
    EXPECT_EQ(etag, awsETag(server_, bucket_, "tls"));
}

}  // namespace
}  // namespace quilo
