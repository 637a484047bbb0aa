// Options on uploads, copies, downloads, heads and deletes, on RGW, each checked against what
// awscli reads or writes; what RGW cannot check is checked on the wire through a proxy.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "integration/Blocking.hpp"
#include "quilo/quilo.hpp"
#include "support/FaultProxy.hpp"

namespace quilo {
namespace {

using test::failedOnce;
using test::ObjectEnded;
using test::op;

constexpr std::uint64_t kMiB = 1 << 20;
// awscli takes the key as it is, quilo in base64.
const std::string kRawKey = "0123456789abcdef0123456789abcdef";
const std::string kKey = "MDEyMzQ1Njc4OWFiY2RlZjAxMjM0NTY3ODlhYmNkZWY=";

StringMap with(StringMap param, const StringMap& more) {
    param.insert(more.begin(), more.end());
    return param;
}

struct Options : ::testing::Test {
    void SetUp() override {
        S3ObjectRequest::setMultipartThreshold(6 * kMiB);  // put back by the scratch
        S3ObjectRequest::setMultipartPartSize(5 * kMiB);
    }
    StringMap at(const std::string& key) const { return {{"bucket", s.bucket()}, {"key", key}}; }
    ObjectEnded uploadData(const StringMap& param, std::string data) {
        ObjectEnded outcome;
        s.client.uploadData(param, std::move(data), outcome.transferCallbacks());
        EXPECT_TRUE(outcome.waitForEnd(std::chrono::seconds(120)));
        return outcome;
    }
    test::Scratch s{test::rgw()};
};

TEST_F(Options, UploadsCarryTheirOptionsInOnePutAndInParts) {
    struct Row {
        StringMap options;
        std::vector<std::string> head;  // head-object's arguments; none: the tags
        std::string awsSays;
    } rows[] = {
        {{{"contentType", "text/x-q"},
          {"cacheControl", "max-age=60"},
          {"contentDisposition", "attachment"},
          {"contentEncoding", "identity"},
          {"contentLanguage", "fr"},
          {"expires", "2030-01-02T03:04:05Z"},
          {"x-amz-meta-colour", "blue"}},
         {"--query",
          "[ContentType,CacheControl,ContentDisposition,ContentEncoding,ContentLanguage,Expires,"
          "Metadata.colour]"},
         "text/x-q\tmax-age=60\tattachment\tidentity\tfr\tWed, 02 Jan 2030 03:04:05 GMT\tblue"},
        {{{"storageClass", "STANDARD_IA"}}, {"--query", "StorageClass"}, "STANDARD_IA"},
        {{{"serverSideEncryption", "aws:kms"}, {"sseKmsKeyId", "testkey-1"}},
         {"--query", "[ServerSideEncryption,SSEKMSKeyId]"},
         "aws:kms\ttestkey-1"},
        {{{"sseCustomerKey", kKey}},
         {"--sse-customer-algorithm=AES256", "--sse-customer-key=" + kRawKey, "--query",
          "SSECustomerAlgorithm"},
         "AES256"},
        {{{"tagging", "a=1&b=two%20words"}}, {}, "a\t1\nb\ttwo words"},
    };
    int n = 0;
    for (const auto& row : rows) {
        const std::string key = "row" + std::to_string(n++);
        const auto one =
            op(s.client, &Quilo::uploadObject,
               with(at(key + "/one"), with(row.options, {{"filePath", s.file("f", "x")}})));
        ASSERT_TRUE(one.ok()) << key << ": " << one.summary();
        const auto parts =
            uploadData(with(at(key + "/parts"), row.options), std::string(7 * kMiB, 'p'));
        ASSERT_TRUE(parts.ok()) << key << ": " << parts.summary();
        for (const char* form : {"/one", "/parts"}) {
            auto args = row.head.empty()
                            ? std::vector<std::string>{"--query", "TagSet[].[Key,Value]"}
                            : row.head;
            args.insert(args.begin(), {"--key", key + form});
            EXPECT_EQ(s.s3api(row.head.empty() ? "get-object-tagging" : "head-object", args),
                      row.awsSays)
                << key << form;
        }
    }
}

// The typed forms carry the same options.
TEST_F(Options, AggregatesCarryTheOptions) {
    const ObjectOptions options{.contentType = "text/t", .metadata = StringMap{{"m", "1"}}};
    auto data =
        s.client.uploadData(UploadDataArgs{.bucket = s.bucket(), .key = "d", .options = options},
                            std::string("x"), use_future);
    auto stream = s.client.uploadStream(
        UploadStreamArgs{.bucket = s.bucket(), .key = "s", .options = options},
        [](std::span<char>) { return std::optional<std::size_t>(0); }, use_future);
    ASSERT_TRUE(data.get()->isFinished() && stream.get()->isFinished());
    auto head = s.client.getObjectMeta(
        GetObjectMetaArgs{.bucket = s.bucket(), .key = "d", .options = {.ifNoneMatch = "\"x\""}},
        use_future);
    EXPECT_TRUE(head.get()->isFinished());
    for (const char* key : {"d", "s"})
        EXPECT_EQ(s.s3api("head-object", {"--key", key, "--query", "[ContentType,Metadata.m]"}),
                  "text/t\t1")
            << key;
}

// RGW 16 accepts AES256 and stores the bytes as they are: only the wire shows it was asked
// for, on the single PUT and on the initiation of parts; a customer's key goes with every part.
TEST_F(Options, EncryptionHeadersGoOutWhereTheServiceNeedsThem) {
    std::mutex mutex;
    std::vector<std::string> seen;
    test::FaultProxy proxy(s.server.host, [&](const test::ServedRequest& request) {
        std::lock_guard lock(mutex);
        seen.push_back(
            request.method + " " + test::headerOf(request.headers, "x-amz-server-side-encryption") +
            " " + test::headerOf(request.headers, "x-amz-server-side-encryption-customer-key-MD5"));
        return test::ProxyFault::none;
    });
    S3Request::setDefaultHost(proxy.host());
    ASSERT_TRUE(uploadData(with(at("aes"), {{"serverSideEncryption", "AES256"}}), "a").ok());
    ASSERT_TRUE(uploadData(with(at("aes-parts"), {{"serverSideEncryption", "AES256"}}),
                           std::string(7 * kMiB, 'a'))
                    .ok());
    ASSERT_TRUE(
        uploadData(with(at("c-parts"), {{"sseCustomerKey", kKey}}), std::string(7 * kMiB, 'c'))
            .ok());
    S3Request::setDefaultHost(s.server.host);
    const std::string md5 = "hRasmdxgYDKV3nvbahU1MA==";  // of kRawKey
    EXPECT_EQ(seen,
              (std::vector<std::string>{"PUT AES256 ", "POST AES256 ", "PUT  ", "PUT  ", "POST  ",
                                        "POST  " + md5, "PUT  " + md5, "PUT  " + md5, "POST  "}));
}

TEST_F(Options, CopiesKeepOrReplaceWhatTheirSourceCarries) {
    ASSERT_TRUE(
        op(s.client, &Quilo::uploadObject,
           with(at("src"),
                {{"filePath", s.file("f", "x")}, {"contentType", "text/a"}, {"x-amz-meta-m", "1"}}))
            .ok());
    const StringMap copy{{"srcBucket", s.bucket()}, {"srcKey", "src"}, {"desBucket", s.bucket()}};
    struct Row {
        StringMap options;
        std::string awsSays;  // type, metadata and storage class
    } rows[] = {
        {{}, "text/a\t1\tNone"},
        {{{"metadataDirective", "COPY"}, {"storageClass", "STANDARD_IA"}},
         "text/a\t1\tSTANDARD_IA"},
        {{{"contentType", "text/b"}, {"x-amz-meta-n", "2"}}, "text/b\tNone\tNone"},
    };
    int n = 0;
    for (const auto& row : rows) {
        const std::string key = "copy" + std::to_string(n++);
        const auto copied =
            op(s.client, &Quilo::copyObject, with(with(copy, {{"desKey", key}}), row.options));
        ASSERT_TRUE(copied.ok()) << key << ": " << copied.summary();
        EXPECT_EQ(s.s3api("head-object",
                          {"--key", key, "--query", "[ContentType,Metadata.m,StorageClass]"}),
                  row.awsSays)
            << key;
    }
}

TEST_F(Options, DownloadsAndHeadsTakeRangesVersionsConditionsAndKeys) {
    ASSERT_TRUE(
        op(s.client, &Quilo::setBucketVersioning, {{"bucket", s.bucket()}, {"status", "Enabled"}})
            .ok());
    const auto first =
        op(s.client, &Quilo::uploadObject, with(at("k"), {{"filePath", s.file("v1", "first")}}));
    const std::string body = "0123456789";
    const auto second =
        op(s.client, &Quilo::uploadObject, with(at("k"), {{"filePath", s.file("v2", body)}}));
    ASSERT_TRUE(first.ok() && second.ok());
    const std::string v1 = first.request()->resultVersionId(), etag = second.request()->etag();
    EXPECT_EQ(
        s.s3api("list-object-versions", {"--query", "Versions[?IsLatest==`false`].VersionId"}), v1);
    // awscli writes with a customer's key; quilo reads with it.
    s.s3api("put-object", {"--key", "c", "--body", s.file("c", body),
                           "--sse-customer-algorithm=AES256", "--sse-customer-key=" + kRawKey});
    struct Row {
        StringMap options;
        std::string bytes;    // what comes; empty: the failure below
        std::string failure;  // the service's code, or "misuse"
    } rows[] = {
        {{{"range", "bytes=2-5"}}, "2345", ""},
        {{{"range", "bytes=-3"}}, "789", ""},
        {{{"range", "bytes=7-"}}, "789", ""},
        {{{"versionId", v1}}, "first", ""},
        {{{"versionId", v1}, {"range", "bytes=1-2"}}, "ir", ""},
        {{{"ifMatch", etag}, {"ifModifiedSince", "Sat, 01 Jan 2000 00:00:00 GMT"}}, body, ""},
        {{{"ifMatch", "\"0123\""}}, "", "PreconditionFailed"},
        {{{"ifNoneMatch", etag}}, "", "NotModified"},
        {{{"ifModifiedSince", "2099-01-01T00:00:00Z"}}, "", "NotModified"},
        {{{"ifUnmodifiedSince", "2000-01-01T00:00:00Z"}}, "", "PreconditionFailed"},
        {{{"key", "c"}, {"sseCustomerKey", kKey}}, body, ""},
        {{{"key", "c"}}, "", "InvalidArgument"},
        {{{"range", "bytes=5-2"}}, "", "misuse"},
        {{{"range", "bytes=0-1,4-5"}}, "", "misuse"},
        {{{"ifModifiedSince", "2030-02-30T00:00:00Z"}}, "", "misuse"},
        {{{"versionId", "a b"}}, "", "misuse"},
        {{{"sseCustomerKey", "c2hvcnQ="}}, "", "misuse"},
    };
    for (const auto& row : rows) {
        const std::string name = row.options.begin()->first + "=" + row.options.begin()->second;
        const StringMap param = with(row.options, at("k"));
        const std::string before = test::readFile(s.dir / "out");
        const auto memory = op(s.client, &Quilo::downloadObject, param);
        const auto file = op(s.client, &Quilo::downloadObject,
                             with(param, {{"downloadDestinationPath", (s.dir / "out").string()}}));
        const auto head = op(s.client, &Quilo::getObjectMeta, param);
        if (!row.bytes.empty()) {
            EXPECT_TRUE(memory.ok() && memory.request()->responseData() == row.bytes)
                << name << ": " << memory.summary();
            EXPECT_TRUE(file.ok() && test::readFile(s.dir / "out") == row.bytes)
                << name << ": " << file.summary();
            EXPECT_TRUE(head.ok()) << name << ": " << head.summary();
            EXPECT_EQ(file.progress().back(),
                      std::make_pair<std::uint64_t>(row.bytes.size(), row.bytes.size()))
                << name;
            continue;
        }
        const bool misuse = row.failure == "misuse";
        const auto kind = misuse ? ErrorKind::misuse : ErrorKind::service;
        EXPECT_TRUE(failedOnce(memory, kind, -1, misuse ? "" : row.failure)) << name;
        EXPECT_TRUE(failedOnce(file, kind, -1, misuse ? "" : row.failure)) << name;
        // A HEAD's answer has no document to name its code by.
        if (!row.options.contains("range")) {
            EXPECT_TRUE(failedOnce(head, kind, -1,
                                   misuse || row.failure == "InvalidArgument" ? "" : row.failure))
                << name;
        }
        EXPECT_EQ(test::readFile(s.dir / "out"), before) << name;
    }
}

// A large range into a file, cut on the way, goes on from where it stopped, from the same version.
TEST_F(Options, ARangeThatBreaksIsResumed) {
    std::string big(9 * kMiB, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7 + i / 4096);
    ASSERT_TRUE(uploadData(at("big"), big).ok());
    S3ObjectRequest::setRangeThreshold(kMiB);  // put back by the scratch
    int gets = 0;
    test::FaultProxy proxy(s.server.host, [&](const test::ServedRequest& request) {
        return request.method == "GET" && gets++ == 0 ? test::ProxyFault::cutResponse
                                                      : test::ProxyFault::none;
    });
    S3Request::setDefaultHost(proxy.host());
    const auto got = op(s.client, &Quilo::downloadObject,
                        with(at("big"), {{"range", "bytes=1000-8000999"},
                                         {"downloadDestinationPath", (s.dir / "range").string()}}));
    S3Request::setDefaultHost(s.server.host);
    ASSERT_TRUE(got.ok()) << got.summary();
    EXPECT_GE(gets, 2);
    EXPECT_TRUE(test::readFile(s.dir / "range") == big.substr(1000, 8000000));
}

TEST_F(Options, DeletesSayWhetherTheyMadeAMarker) {
    ASSERT_TRUE(
        op(s.client, &Quilo::setBucketVersioning, {{"bucket", s.bucket()}, {"status", "Enabled"}})
            .ok());
    const auto put =
        op(s.client, &Quilo::uploadObject, with(at("k"), {{"filePath", s.file("f", "x")}}));
    ASSERT_TRUE(put.ok());
    const std::string version = put.request()->resultVersionId();
    const auto marked = op(s.client, &Quilo::deleteObject, at("k"));
    ASSERT_TRUE(marked.ok());
    EXPECT_TRUE(marked.request()->deleteMarker());
    const std::string marker = marked.request()->resultVersionId();
    EXPECT_EQ(s.s3api("list-object-versions", {"--query", "DeleteMarkers[].VersionId"}), marker);
    // Removing the marker brings the object back; removing the version is for good.
    const auto unmarked =
        op(s.client, &Quilo::deleteObject, with(at("k"), {{"versionId", marker}}));
    ASSERT_TRUE(unmarked.ok());
    EXPECT_TRUE(test::download(s.client, s.bucket(), "k").ok());
    const auto removed =
        op(s.client, &Quilo::deleteObject, with(at("k"), {{"versionId", version}}));
    ASSERT_TRUE(removed.ok());
    EXPECT_FALSE(removed.request()->deleteMarker());
    EXPECT_EQ(removed.request()->resultVersionId(), version);
    EXPECT_EQ(s.s3api("list-object-versions", {"--query", "[Versions,DeleteMarkers]"}),
              "None\tNone");
    // A copy of a version names it.
    const auto again =
        op(s.client, &Quilo::uploadObject, with(at("k"), {{"filePath", s.file("g", "old")}}));
    ASSERT_TRUE(
        op(s.client, &Quilo::uploadObject, with(at("k"), {{"filePath", s.file("h", "new")}})).ok());
    ASSERT_TRUE(op(s.client, &Quilo::copyObject,
                   {{"srcBucket", s.bucket()},
                    {"srcKey", "k"},
                    {"desBucket", s.bucket()},
                    {"desKey", "c"},
                    {"srcVersionId", again.request()->resultVersionId()}})
                    .ok());
    EXPECT_EQ(test::download(s.client, s.bucket(), "c").request()->responseData(), "old");
}

}  // namespace
}  // namespace quilo
