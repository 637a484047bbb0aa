// Bucket configurations (policy, lifecycle, CORS) and object lock on RGW: what quilo writes
// reads back equal, and awscli reads what quilo wrote.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "integration/Blocking.hpp"
#include "quilo/quilo.hpp"

namespace quilo {
namespace {

using test::failedOnce;
using test::op;

// In the order of their ids, which is how RGW keeps rules.
const S3LifecycleConfiguration kLifecycle{{
    {.id = "dated", .tags = {{"x", "y & <z>"}}, .expirationDate = "2030-01-01T00:00:00Z"},
    {.id = "logs",
     .prefix = "logs/",
     .tags = {{"a", "1"}, {"b", "2"}},
     .expirationDays = 3,
     .noncurrentExpirationDays = 5},
    {.id = "markers", .expiredObjectDeleteMarker = true},
    {.id = "tiered",
     .enabled = false,
     .abortIncompleteUploadDays = 2,
     .transitions = {{.days = 30, .storageClass = "STANDARD_IA"}},
     .noncurrentTransitions = {{.days = 7, .storageClass = "STANDARD_IA"}}},
}};

const S3CorsConfiguration kCors{{
    {.id = "uploads",
     .allowedMethods = {"GET", "PUT"},
     .allowedOrigins = {"https://a.example", "https://b.example"},
     .allowedHeaders = {"*"},
     .exposeHeaders = {"ETag", "x-amz-meta-a"},
     .maxAgeSeconds = 300},
    {.allowedMethods = {"HEAD"}, .allowedOrigins = {"*"}},
}};

const std::string kPolicy =
    R"({"Version":"2012-10-17","Statement":[{"Effect":"Allow","Principal":"*",)"
    R"("Action":["s3:GetObject"],"Resource":["arn:aws:s3:::BUCKET/pub/*"]}]})";

TEST(Configurations, ReadBackAsWrittenAndAwscliReadsThem) {
    test::Scratch s(test::rgw());
    const std::string bucket = s.bucket();
    std::string policy = kPolicy;
    policy.replace(policy.find("BUCKET"), 6, bucket);
    struct Row {
        const char* what;
        void (Quilo::*set)(const ValueMap&, Callbacks<QuiloBucketRequest>);
        ValueMap param;
        void (Quilo::*get)(const std::string&, Callbacks<QuiloBucketRequest>);
        void (Quilo::*remove)(const std::string&, Callbacks<QuiloBucketRequest>);
        std::function<bool(const QuiloBucketRequest&)> readsBack;
        std::string awsCommand, awsQuery, awsSees, missing;
    };
    const Row rows[] = {
        {"policy",
         &Quilo::setBucketPolicy,
         {{"policy", policy}},
         &Quilo::getBucketPolicy,
         &Quilo::deleteBucketPolicy,
         [&](const auto& read) { return read.policy() == policy; },
         "get-bucket-policy",
         "Policy",
         policy,
         "NoSuchBucketPolicy"},
        {"lifecycle",
         &Quilo::setBucketLifecycle,
         {{"lifecycle", kLifecycle}},
         &Quilo::getBucketLifecycle,
         &Quilo::deleteBucketLifecycle,
         [](const auto& read) { return read.lifecycle() == kLifecycle; },
         "get-bucket-lifecycle-configuration",
         "Rules[].[ID,Status]",
         "dated\tEnabled\nlogs\tEnabled\nmarkers\tEnabled\ntiered\tDisabled",
         "NoSuchLifecycleConfiguration"},
        {"CORS",
         &Quilo::setBucketCors,
         {{"cors", kCors}},
         &Quilo::getBucketCors,
         &Quilo::deleteBucketCors,
         [](const auto& read) { return read.cors() == kCors; },
         "get-bucket-cors",
         "CORSRules[].AllowedOrigins[]",
         "https://a.example\thttps://b.example\t*",
         "NoSuchCORSConfiguration"},
    };
    for (auto row : rows) {
        SCOPED_TRACE(row.what);
        row.param["bucket"] = bucket;
        const auto set = op(s.client, row.set, row.param);
        ASSERT_TRUE(set.ok()) << set.summary();
        const auto read = op(s.client, row.get, bucket);
        EXPECT_TRUE(read.ok() && row.readsBack(*read.request())) << read.summary();
        EXPECT_EQ(s.s3api(row.awsCommand, {"--query", row.awsQuery}), row.awsSees);
        ASSERT_TRUE(op(s.client, row.remove, bucket).ok());
        EXPECT_TRUE(
            failedOnce(op(s.client, row.get, bucket), ErrorKind::service, 404, row.missing));
    }
    // The policy is the service's to judge: RGW refuses what is not JSON, as AWS does.
    EXPECT_TRUE(failedOnce(
        op(s.client, &Quilo::setBucketPolicy, {{"bucket", bucket}, {"policy", "{\"Version\": "}}),
        ErrorKind::service, 400));
}

// The lock and the retention a bucket gives its objects, a version's own retention and legal
// hold, and the deletes they refuse.
TEST(Configurations, ObjectLockKeepsWhatItShouldAndLetsGoWhenLifted) {
    test::Scratch s(test::rgw());
    const std::string bucket = test::uniqueBucketName("locked");
    ASSERT_TRUE(op(s.client, &Quilo::createBucketWithObjectLock, bucket).ok());
    s.buckets.push_back(bucket);
    ASSERT_TRUE(op(s.client, &Quilo::setBucketObjectLock,
                   {{"bucket", bucket}, {"mode", "GOVERNANCE"}, {"days", 1}})
                    .ok());
    const auto lock = op(s.client, &Quilo::getBucketObjectLock, bucket);
    ASSERT_TRUE(lock.ok()) << lock.summary();
    EXPECT_EQ(lock.request()->objectLock(),
              (S3ObjectLockConfiguration{.mode = "GOVERNANCE", .days = 1}));
    ASSERT_TRUE(test::upload(s.client, bucket, "k", s.file("k", "kept")).ok());
    const StringMap object = {{"bucket", bucket}, {"key", "k"}};
    const auto head = op(s.client, &Quilo::getObjectMeta, object);
    const std::string version = head.request()->responseHeaders().at("x-amz-version-id");

    const auto retention = [&] {
        const auto read = op(s.client, &Quilo::getObjectRetention, object);
        return read.ok() ? read.request()->retention() : S3Retention{"unread", ""};
    };
    EXPECT_EQ(retention().mode, "GOVERNANCE");  // the bucket's default
    const auto retain = [&](const std::string& until, bool bypass) {
        return op(s.client, &Quilo::setObjectRetention,
                  {{"bucket", bucket},
                   {"key", "k"},
                   {"versionId", version},
                   {"mode", "GOVERNANCE"},
                   {"retainUntilDate", until},
                   {"bypassGovernanceRetention", bypass}});
    };
    ASSERT_TRUE(retain("2035-06-01T12:00:00Z", false).ok());
    EXPECT_TRUE(retention().retainUntilDate.starts_with("2035-06-01T12:00:00"));
    const auto holdOn = [&](bool on) {
        return op(s.client, &Quilo::setObjectLegalHold,
                  {{"bucket", bucket}, {"key", "k"}, {"legalHold", on}})
            .ok();
    };
    ASSERT_TRUE(holdOn(true));
    const auto hold = op(s.client, &Quilo::getObjectLegalHold, object);
    EXPECT_TRUE(hold.ok() && hold.request()->legalHold()) << hold.summary();
    EXPECT_EQ(
        test::awsOut(s.server, {"s3api", "head-object", "--bucket", bucket, "--key", "k", "--query",
                                "[ObjectLockMode,ObjectLockLegalHoldStatus]", "--output", "text"}),
        "GOVERNANCE\tON\n");

    const auto removeVersion = [&](bool bypass) {
        return s.removeVersion(bucket, "k", version, bypass);
    };
    EXPECT_EQ(removeVersion(true), "failed service error AccessDenied");  // the hold wins
    ASSERT_TRUE(holdOn(false));
    EXPECT_TRUE(failedOnce(retain("2030-01-01T00:00:00Z", false), ErrorKind::service, 403));
    EXPECT_EQ(removeVersion(false), "failed service error AccessDenied");
    ASSERT_TRUE(retain("2030-01-01T00:00:00Z", true).ok());
    EXPECT_EQ(removeVersion(true), "finished");

    for (const auto& refused :
         {retain("2030-01-01", false), retain("2030-01-01T00:00:00+02:00", false),
          op(s.client, &Quilo::setObjectRetention,
             {{"bucket", bucket},
              {"key", "k"},
              {"mode", "FOREVER"},
              {"retainUntilDate", "2030-01-01T00:00:00Z"}})})
        EXPECT_TRUE(failedOnce(refused, ErrorKind::misuse, 0, "InvalidParameter"));
    EXPECT_TRUE(
        failedOnce(op(s.client, &Quilo::setBucketObjectLock,
                      {{"bucket", bucket}, {"mode", "GOVERNANCE"}, {"days", 1}, {"years", 1}}),
                   ErrorKind::misuse, 0, "InvalidParameter"));
}

}  // namespace
}  // namespace quilo
