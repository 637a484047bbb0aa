// Multipart uploads in progress, copies in parts and browser forms, on RGW, against awscli and
// curl.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "integration/Blocking.hpp"
#include "quilo/quilo.hpp"
#include "support/FaultProxy.hpp"

namespace quilo {
namespace {

using test::failedOnce;
using test::line;
using test::lines;
using test::op;

constexpr std::uint64_t kMiB = 1 << 20;

TEST(MultipartManagement, UploadsInProgressArePagedAndAborted) {
    test::Scratch s(test::rgw());
    const auto start = [&](const std::string& key) {
        return s.s3api("create-multipart-upload", {"--key", key, "--query", "UploadId"});
    };
    const std::string a = start("mp/a"), b = start("mp/b %41"), other = start("other");
    for (const char* number : {"1", "2"})
        s.s3api("upload-part", {"--key", "mp/b %41", "--upload-id=" + b, "--part-number", number,
                                "--body", s.file("part", number + std::string(300, 'x'))});

    const auto uploads = [&] {
        return test::pages(s.client, &Quilo::listMultipartUploads,
                           {{"bucket", s.bucket()}, {"prefix", "mp/"}, {"maxUploads", 1}},
                           [](const QuiloBucketRequest& page, ValueMap& param, std::string& out) {
                               for (const auto& upload : page.uploads())
                                   out += line({upload.key, upload.uploadId});
                               param["keyMarker"] = page.nextMarker();
                               param["uploadIdMarker"] = page.nextUploadIdMarker();
                               return page.isTruncated();
                           });
    };
    const auto awsUploads = [&] {
        return lines(s.s3api("list-multipart-uploads",
                             {"--prefix", "mp/", "--query", "Uploads[].[Key,UploadId]"}));
    };
    EXPECT_EQ(uploads(), awsUploads());
    EXPECT_EQ(uploads().size(), 2u);
    const auto parts =
        test::pages(s.client, &Quilo::listParts,
                    {{"bucket", s.bucket()}, {"key", "mp/b %41"}, {"uploadId", b}, {"maxParts", 1}},
                    [](const QuiloObjectRquest& page, ValueMap& param, std::string& out) {
                        for (const auto& part : page.parts())
                            out += line({std::to_string(part.number), "\"" + part.etag + "\"",
                                         std::to_string(part.size)});
                        if (page.nextPartNumberMarker())
                            param["partNumberMarker"] = *page.nextPartNumberMarker();
                        return page.isTruncated();
                    });
    EXPECT_EQ(parts, lines(s.s3api("list-parts", {"--key", "mp/b %41", "--upload-id=" + b,
                                                  "--query", "Parts[].[PartNumber,ETag,Size]"})));
    EXPECT_EQ(parts.size(), 2u);

    for (const auto& [key, id] :
         {std::pair("mp/a", a), std::pair("mp/b %41", b), std::pair("other", other)})
        ASSERT_TRUE(op(s.client, &Quilo::abortMultipartUpload,
                       {{"bucket", s.bucket()}, {"key", key}, {"uploadId", id}})
                        .ok());
    EXPECT_EQ(awsUploads(), std::multiset<std::string>{});
    EXPECT_TRUE(failedOnce(
        op(s.client, &Quilo::listParts, {{"bucket", s.bucket()}, {"key", "mp/a"}, {"uploadId", a}}),
        ErrorKind::service, 404));
    EXPECT_TRUE(failedOnce(
        op(s.client, &Quilo::abortMultipartUpload, {{"bucket", s.bucket()}, {"key", "mp/a"}}),
        ErrorKind::misuse, 0, "InvalidParameter"));
}

// The source is written by awscli, with a type, metadata and tags that a copy keeps.
TEST(MultipartManagement, CopiesAboveTheThresholdGoInPartsAndKeepWhatTheSourceCarries) {
    test::Scratch s(test::rgw());
    S3ObjectRequest::setCopyPartThreshold(kMiB);  // both put back by the scratch
    S3ObjectRequest::setMultipartPartSize(5 * kMiB);
    const std::string bytes = test::randomBytes(11 * kMiB + 7);
    s.s3api("put-object", {"--key", "src", "--body", s.file("src", bytes), "--content-type",
                           "text/x-q", "--metadata", "owner=ann", "--tagging", "a=1&b=two%20w"});
    const auto described = [&](const std::string& key) {
        return s.s3api("head-object", {"--key", key, "--query", "[ContentType,Metadata.owner]"}) +
               " " +
               s.s3api("get-object-tagging", {"--key", key, "--query", "TagSet[].[Key,Value]"});
    };

    const auto copied = test::copy(s.client, s.bucket(), "src", s.bucket(), "copy");
    ASSERT_TRUE(copied.ok()) << copied.summary();
    EXPECT_TRUE(copied.request()->etag().ends_with("-3")) << copied.request()->etag();
    const auto fetched = test::download(s.client, s.bucket(), "copy");
    EXPECT_TRUE(fetched.ok() && fetched.request()->responseData() == bytes) << fetched.summary();
    EXPECT_EQ(described("copy"), "text/x-q\tann a\t1\nb\ttwo w");

    // A part that cannot be copied fails the copy, and the upload goes with it.
    const test::FaultProxy proxy(s.server.host, [](const test::ServedRequest& request) {
        return request.target.find("partNumber=2") != std::string::npos ? test::ProxyFault::reset
                                                                        : test::ProxyFault::none;
    });
    S3Request::setDefaultHost(proxy.host());
    const auto broken = test::copy(s.client, s.bucket(), "src", s.bucket(), "broken");
    S3Request::setDefaultHost(s.server.host);
    EXPECT_TRUE(failedOnce(broken, ErrorKind::transport, 0)) << broken.summary();
    EXPECT_EQ(s.s3api("list-multipart-uploads", {"--query", "Uploads[].Key"}), "None");
    EXPECT_TRUE(
        failedOnce(op(s.client, &Quilo::getObjectMeta, {{"bucket", s.bucket()}, {"key", "broken"}}),
                   ErrorKind::service, 404));
}

TEST(PresignedPost, BrowserFormsUploadWithinTheirPolicyOnly) {
    test::Scratch s(test::rgw());
    const ValueMap param = {
        {"bucket", s.bucket()},
        {"key", "up/${filename}"},
        {"fields", StringMap{{"Content-Type", "text/plain"}, {"x-amz-meta-by", "a form; yes"}}},
        {"minContentLength", 1},
        {"maxContentLength", std::int64_t{100}}};
    const auto form = s.client.presignedPost(param);
    ASSERT_TRUE(form);
    const auto post = [&](const std::string& name, std::size_t size,
                          std::vector<std::string> extra) {
        std::vector<std::string> args = {"curl", "-s", "-o", "/dev/null", "-w", "%{http_code}"};
        for (const auto& [field, value] : form->fields)
            args.insert(args.end(), {"--form-string", field + "=" + value});
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.end(), {"-F", "file=@" + s.file(name, std::string(size, 'f')), form->url});
        return test::run(args).out;
    };
    EXPECT_EQ(post("small.txt", 10, {}), "204");
    EXPECT_EQ(post("large.txt", 101, {}), "400");  // EntityTooLarge
    EXPECT_EQ(post("extra.txt", 10, {"--form-string", "x-amz-meta-more=1"}), "403");
    EXPECT_EQ(s.s3api("list-objects-v2", {"--query", "Contents[].Key"}), "up/small.txt");
    EXPECT_EQ(s.s3api("head-object", {"--key", "up/small.txt", "--query",
                                      "[ContentType,Metadata.by,ContentLength]"}),
              "text/plain\ta form; yes\t10");

    Quilo anonymous;
    anonymous.config() = ValueMap{};
    const auto with = [&](const std::string& key, Value value) {
        ValueMap changed = param;
        changed[key] = std::move(value);
        return s.client.presignedPost(changed);
    };
    EXPECT_FALSE(anonymous.presignedPost(param));
    EXPECT_FALSE(with("fields", StringMap{{"policy", "mine"}}));
    EXPECT_FALSE(with("maxContentLength", 0));
    EXPECT_FALSE(with("expiresSeconds", "60"));
    EXPECT_TRUE(with("expiresSeconds", 60));
}

}  // namespace
}  // namespace quilo
