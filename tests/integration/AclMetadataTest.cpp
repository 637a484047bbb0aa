#include <gtest/gtest.h>

#include <unistd.h>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "quilo/quilo.hpp"
#include "support/Outcome.hpp"
#include "support/Servers.hpp"
#include "support/SharedState.hpp"

namespace quilo {
namespace {

using namespace std::chrono_literals;
using test::Outcome;
using test::Server;

constexpr const char* kAllUsers = "http://acs.amazonaws.com/groups/global/AllUsers";

// Starts one operation and waits for its end; the request comes back with its outcome, or
// null when it did not end.
template <class R, class Start>
std::shared_ptr<R> perform(Start start) {
    Outcome<R> outcome;
    start(outcome.callbacks());
    if (!outcome.waitForEnd(30s, 20ms)) {
        ADD_FAILURE() << "the request did not end: " << outcome.summary();
        return nullptr;
    }
    EXPECT_EQ(outcome.count(test::Event::finished) + outcome.count(test::Event::failed), 1)
        << outcome.summary();
    return outcome.request();
}

template <class R>
::testing::AssertionResult succeeded(const std::shared_ptr<R>& request) {
    if (!request) {
        return ::testing::AssertionFailure() << "no request";
    }
    if (request->error()) {
        return ::testing::AssertionFailure() << request->error()->description();
    }
    return ::testing::AssertionSuccess();
}

template <class R>
::testing::AssertionResult failedWith(const std::shared_ptr<R>& request, ErrorKind kind,
                                      const std::string& code) {
    if (!request || !request->error()) {
        return ::testing::AssertionFailure() << "the request did not fail";
    }
    const Error& error = *request->error();
    if (error.kind != kind || error.code != code) {
        return ::testing::AssertionFailure()
               << "expected " << toString(kind) << " " << code << ", got " << error.description();
    }
    return ::testing::AssertionSuccess();
}

// (grantee type as awscli names it, id or uri, permission)
using GrantRows = std::multiset<std::tuple<std::string, std::string, std::string>>;

GrantRows rowsOf(const S3AccessControlPolicy& policy) {
    GrantRows rows;
    for (const auto& grant : policy.grants) {
        const auto& who = grant.grantee;
        switch (who.type) {
            case S3Grantee::Type::canonicalUser:
                rows.emplace("CanonicalUser", who.id, grant.permission);
                break;
            case S3Grantee::Type::group:
                rows.emplace("Group", who.uri, grant.permission);
                break;
            case S3Grantee::Type::email:
                rows.emplace("AmazonCustomerByEmail", who.emailAddress, grant.permission);
                break;
        }
    }
    return rows;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        const auto end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return parts;
}

// The grants awscli reads for a bucket, or for an object when `key` is given.
GrantRows awsGrants(const Server& server, const std::string& bucket, const std::string& key = {}) {
    std::vector<std::string> args = {"s3api", key.empty() ? "get-bucket-acl" : "get-object-acl",
                                     "--bucket", bucket};
    if (!key.empty()) {
        args.insert(args.end(), {"--key", key});
    }
    args.insert(args.end(), {"--query",
                             "Grants[].[Grantee.Type, Grantee.ID || Grantee.URI, "
                             "Permission]",
                             "--output", "text"});
    const auto result = test::aws(server, args);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    GrantRows rows;
    for (const auto& line : split(result.out, '\n')) {
        const auto fields = split(line, '\t');
        if (fields.size() == 3) {
            rows.emplace(fields[0], fields[1], fields[2]);
        } else if (!line.empty()) {
            ADD_FAILURE() << "awscli printed \"" << line << "\"";
        }
    }
    return rows;
}

// awscli's head-object, as "ContentType|CacheControl|Metadata.<name>|..." ("None" when absent).
std::string awsHead(const Server& server, const std::string& bucket, const std::string& key,
                    const std::vector<std::string>& metaNames) {
    std::string query = "[ContentType, CacheControl";
    for (const auto& name : metaNames) {
        query += ", Metadata.\"" + name + "\"";
    }
    query += "]";
    const auto result = test::aws(server, {"s3api", "head-object", "--bucket", bucket, "--key", key,
                                           "--query", query, "--output", "text"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    std::string joined;
    for (const auto& field : split(result.out.substr(0, result.out.find('\n')), '\t')) {
        joined += (joined.empty() ? "" : "|") + field;
    }
    return joined;
}

ValueMap aclParam(const std::string& bucket, AclMap acl, std::optional<std::string> key = {}) {
    ValueMap param{{"acl", Value(std::move(acl))}, {"bucket", Value(bucket)}};
    if (key) {
        param["key"] = Value(*key);
    }
    return param;
}

ValueMap metaParam(const std::string& bucket, const std::string& key, StringMap meta) {
    return {{"meta", Value(std::move(meta))}, {"bucket", Value(bucket)}, {"key", Value(key)}};
}

// A bucket for one test, made and emptied again through the client with the owner's keys.
class ScratchBucket {
  public:
    ScratchBucket(const Server& server, std::string_view prefix)
        : owner_(server.accessKey, server.secretKey, server.https),
          name_(test::uniqueBucketName(prefix)) {
        EXPECT_TRUE(succeeded(perform<QuiloBucketRequest>(
            [&](auto callbacks) { owner_.createBucket(name_, callbacks); })));
    }
    ~ScratchBucket() {
        auto listed = perform<QuiloBucketRequest>([&](auto callbacks) {
            owner_.listObjects({{"bucket", Value(name_)},
                                {"maxKeys", Value(std::int32_t{1000})},
                                {"prefix", Value("")},
                                {"delimiter", Value("")},
                                {"marker", Value("")}},
                               callbacks);
        });
        if (listed) {
            for (const auto& object : listed->objects()) {
                perform<QuiloObjectRquest>([&](auto callbacks) {
                    owner_.deleteObject({{"bucket", name_}, {"key", object.key}}, callbacks);
                });
            }
        }
        perform<QuiloBucketRequest>([&](auto callbacks) { owner_.deleteBucket(name_, callbacks); });
    }
    ScratchBucket(const ScratchBucket&) = delete;
    ScratchBucket& operator=(const ScratchBucket&) = delete;

    const std::string& name() const { return name_; }
    Quilo& owner() { return owner_; }

    // Uploads `bytes` as `key` through the client.
    void put(const std::string& key, const std::string& bytes) {
        const auto path = std::filesystem::temp_directory_path() /
                          ("quilo-acl-" + std::to_string(::getpid()) + "-" + name_);
        {
            std::FILE* file = std::fopen(path.c_str(), "wb");
            ASSERT_NE(file, nullptr);
            std::fwrite(bytes.data(), 1, bytes.size(), file);
            std::fclose(file);
        }
        auto uploaded = perform<QuiloObjectRquest>([&](auto callbacks) {
            owner_.uploadObject({{"filePath", path.string()}, {"bucket", name_}, {"key", key}},
                                {.finished = callbacks.finished, .failed = callbacks.failed});
        });
        std::filesystem::remove(path);
        ASSERT_TRUE(succeeded(uploaded));
    }

    std::shared_ptr<QuiloBucketRequest> bucketAcl() {
        return perform<QuiloBucketRequest>(
            [&](auto callbacks) { owner_.getBucketAcl(name_, callbacks); });
    }
    std::shared_ptr<QuiloObjectRquest> objectAcl(const std::string& key) {
        return perform<QuiloObjectRquest>([&](auto callbacks) {
            owner_.getObjectAcl({{"bucket", name_}, {"key", key}}, callbacks);
        });
    }
    std::shared_ptr<QuiloObjectRquest> objectMeta(const std::string& key) {
        return perform<QuiloObjectRquest>([&](auto callbacks) {
            owner_.getObjectMeta({{"bucket", name_}, {"key", key}}, callbacks);
        });
    }

  private:
    Quilo owner_;
    std::string name_;
};

class AclMetadata : public ::testing::Test {
  protected:
    void SetUp() override { test::useServer(server_); }

    test::SharedStateGuard restore_;
    Server server_ = test::rgw();
    Server other_ = test::rgwOther();
};

TEST_F(AclMetadata, BucketAclGrantingAllUsersReadReadsBackAlikeThroughAwscli) {
    ScratchBucket bucket(server_, "acl-bucket");
    auto set = perform<QuiloBucketRequest>([&](auto callbacks) {
        bucket.owner().setBucketAcl(
            aclParam(bucket.name(), {{"READ", {std::string("uri=") + kAllUsers}},
                                     {"FULL_CONTROL", {"id=" + server_.userId}}}),
            callbacks);
    });
    ASSERT_TRUE(succeeded(set));

    const GrantRows expected{{"Group", kAllUsers, "READ"},
                             {"CanonicalUser", server_.userId, "FULL_CONTROL"}};
    auto read = bucket.bucketAcl();
    ASSERT_TRUE(succeeded(read));
    ASSERT_TRUE(read->accessControlPolicy());
    EXPECT_EQ(read->accessControlPolicy()->owner.id, server_.userId);
    EXPECT_EQ(rowsOf(*read->accessControlPolicy()), expected);
    EXPECT_EQ(awsGrants(server_, bucket.name()), expected);
}

TEST_F(AclMetadata, ObjectAclWithSeveralGranteesUnderOnePermissionReadsBackAlike) {
    ScratchBucket bucket(server_, "acl-object");
    const std::string bytes = "shared with two users and everyone";
    bucket.put("shared.txt", bytes);
    auto set = perform<QuiloObjectRquest>([&](auto callbacks) {
        bucket.owner().setObjectAcl(
            aclParam(
                bucket.name(),
                {{"READ",
                  {std::string("uri=") + kAllUsers, "id=" + server_.userId, "id=" + other_.userId}},
                 {"FULL_CONTROL", {"id=" + server_.userId}}},
                "shared.txt"),
            callbacks);
    });
    ASSERT_TRUE(succeeded(set));

    const GrantRows expected{{"Group", kAllUsers, "READ"},
                             {"CanonicalUser", server_.userId, "READ"},
                             {"CanonicalUser", other_.userId, "READ"},
                             {"CanonicalUser", server_.userId, "FULL_CONTROL"}};
    auto read = bucket.objectAcl("shared.txt");
    ASSERT_TRUE(succeeded(read));
    ASSERT_TRUE(read->accessControlPolicy());
    EXPECT_EQ(rowsOf(*read->accessControlPolicy()), expected);
    EXPECT_EQ(awsGrants(server_, bucket.name(), "shared.txt"), expected);

    // The grant works: the other user, who owns nothing here, reads the bytes.
    Quilo other(other_.accessKey, other_.secretKey);
    auto fetched = perform<QuiloObjectRquest>([&](auto callbacks) {
        other.downloadObject({{"bucket", bucket.name()}, {"key", "shared.txt"}},
                             {.finished = callbacks.finished, .failed = callbacks.failed});
    });
    ASSERT_TRUE(succeeded(fetched));
    EXPECT_EQ(fetched->responseData(), bytes);
}

TEST_F(AclMetadata, MalformedAclIsRefusedBeforeSendingAndLeavesTheServersAclAsItWas) {
    ScratchBucket bucket(server_, "acl-misuse");
    bucket.put("k", "x");
    auto bucketBefore = bucket.bucketAcl();
    auto objectBefore = bucket.objectAcl("k");
    ASSERT_TRUE(succeeded(bucketBefore) && succeeded(objectBefore));

    const std::vector<std::pair<AclMap, std::string>> cases = {
        {{{"READ_ALL", {"id=" + other_.userId}}}, "InvalidPermission"},
        {{{"read", {"id=" + other_.userId}}}, "InvalidPermission"},
        {{{"READ", {"user=x"}}}, "InvalidGrantee"},
        {{{"READ", {"id="}}}, "InvalidGrantee"},
        {{{"READ", {"id=" + other_.userId, "id=a\"b"}}}, "InvalidGrantee"},
        {{{"READ", {"id=a\r\nx-amz-acl: public-read-write"}}}, "InvalidGrantee"},
        {{{"READ", {std::string("uri=") + kAllUsers}}, {"WRITE", {"emailAddress=a,b"}}},
         "InvalidGrantee"},
    };
    for (const auto& [acl, code] : cases) {
        SCOPED_TRACE(code + " for " + acl.begin()->first + " " +
                     (acl.begin()->second.empty() ? "" : acl.begin()->second.back()));
        auto onBucket = perform<QuiloBucketRequest>([&](auto callbacks) {
            bucket.owner().setBucketAcl(aclParam(bucket.name(), acl), callbacks);
        });
        EXPECT_TRUE(failedWith(onBucket, ErrorKind::misuse, code));
        auto onObject = perform<QuiloObjectRquest>([&](auto callbacks) {
            bucket.owner().setObjectAcl(aclParam(bucket.name(), acl, "k"), callbacks);
        });
        EXPECT_TRUE(failedWith(onObject, ErrorKind::misuse, code));
        EXPECT_EQ(onObject->responseStatusCode(), 0) << "something was sent";
    }

    auto bucketAfter = bucket.bucketAcl();
    auto objectAfter = bucket.objectAcl("k");
    ASSERT_TRUE(succeeded(bucketAfter) && succeeded(objectAfter));
    EXPECT_EQ(bucketAfter->accessControlPolicy(), bucketBefore->accessControlPolicy());
    EXPECT_EQ(objectAfter->accessControlPolicy(), objectBefore->accessControlPolicy());
}

TEST_F(AclMetadata, EmptyAclAndEmptyGranteeListGoToTheServerWhichRefusesThem) {
    ScratchBucket bucket(server_, "acl-empty");
    bucket.put("k", "x");
    auto before = bucket.objectAcl("k");
    ASSERT_TRUE(succeeded(before));

    // RGW wants either a canned policy, grant headers or a document: nothing at all is refused.
    auto emptyMap = perform<QuiloObjectRquest>([&](auto callbacks) {
        bucket.owner().setObjectAcl(aclParam(bucket.name(), {}, "k"), callbacks);
    });
    EXPECT_TRUE(failedWith(emptyMap, ErrorKind::service, "InvalidArgument"));
    EXPECT_EQ(emptyMap->responseStatusCode(), 400);
    auto emptyBucketMap = perform<QuiloBucketRequest>([&](auto callbacks) {
        bucket.owner().setBucketAcl(aclParam(bucket.name(), {}), callbacks);
    });
    EXPECT_TRUE(failedWith(emptyBucketMap, ErrorKind::service, "InvalidArgument"));

    // An empty grant header names nobody, and RGW refuses it as well.
    auto emptyList = perform<QuiloObjectRquest>([&](auto callbacks) {
        bucket.owner().setObjectAcl(aclParam(bucket.name(), {{"READ", {}}}, "k"), callbacks);
    });
    EXPECT_TRUE(failedWith(emptyList, ErrorKind::service, "InvalidArgument"));

    auto after = bucket.objectAcl("k");
    ASSERT_TRUE(succeeded(after));
    EXPECT_EQ(after->accessControlPolicy(), before->accessControlPolicy());
}

TEST_F(AclMetadata, BucketMetaOfAnExistingAndOfAMissingBucket) {
    ScratchBucket bucket(server_, "meta-bucket");
    auto existing = perform<QuiloBucketRequest>(
        [&](auto callbacks) { bucket.owner().getBucketMeta(bucket.name(), callbacks); });
    ASSERT_TRUE(succeeded(existing));
    EXPECT_EQ(existing->responseStatusCode(), 200);
    EXPECT_TRUE(existing->responseHeaders().contains("date"));
    EXPECT_TRUE(existing->responseHeaders().contains("x-amz-request-id"));

    auto missing = perform<QuiloBucketRequest>([&](auto callbacks) {
        bucket.owner().getBucketMeta(bucket.name() + "-missing", callbacks);
    });
    EXPECT_TRUE(failedWith(missing, ErrorKind::service, "NoSuchBucket"));
    EXPECT_EQ(missing->responseStatusCode(), 404);
}

TEST_F(AclMetadata, SetObjectMetaReplacesTheMetadataAndKeepsTheBytes) {
    ScratchBucket bucket(server_, "meta-object");
    std::string bytes;
    for (int i = 0; i < 5000; ++i) {
        bytes.push_back(static_cast<char>(i * 7 % 256));
    }
    bucket.put("data.bin", bytes);
    auto first = perform<QuiloObjectRquest>([&](auto callbacks) {
        bucket.owner().setObjectMeta(metaParam(bucket.name(), "data.bin", {{"stale", "yes"}}),
                                     callbacks);
    });
    ASSERT_TRUE(succeeded(first));
    auto second = perform<QuiloObjectRquest>([&](auto callbacks) {
        bucket.owner().setObjectMeta(metaParam(bucket.name(), "data.bin",
                                               {{"Color", "blue"},
                                                {"owner-name", "Ann Example"},
                                                {"Content-Type", "text/x-quilo"},
                                                {"Cache-Control", "max-age=60"}}),
                                     callbacks);
    });
    ASSERT_TRUE(succeeded(second));
    EXPECT_FALSE(second->etag().empty());

    auto head = bucket.objectMeta("data.bin");
    ASSERT_TRUE(succeeded(head));
    EXPECT_EQ(head->metadata(), (StringMap{{"color", "blue"}, {"owner-name", "Ann Example"}}));
    EXPECT_EQ(head->responseHeaders().find("content-type")->second, "text/x-quilo");
    EXPECT_EQ(head->responseHeaders().find("cache-control")->second, "max-age=60");
    EXPECT_EQ(head->etag(), second->etag());
    EXPECT_EQ(awsHead(server_, bucket.name(), "data.bin", {"color", "owner-name", "stale"}),
              "text/x-quilo|max-age=60|blue|Ann Example|None");

    auto fetched = perform<QuiloObjectRquest>([&](auto callbacks) {
        bucket.owner().downloadObject({{"bucket", bucket.name()}, {"key", "data.bin"}},
                                      {.finished = callbacks.finished, .failed = callbacks.failed});
    });
    ASSERT_TRUE(succeeded(fetched));
    EXPECT_TRUE(fetched->responseData() == bytes) << "the bytes changed";
}

TEST_F(AclMetadata, HeaderInjectionThroughMetadataIsRefusedAndChangesNothing) {
    ScratchBucket bucket(server_, "meta-inject");
    bucket.put("k", "private bytes");
    ASSERT_TRUE(succeeded(perform<QuiloObjectRquest>([&](auto callbacks) {
        bucket.owner().setObjectMeta(metaParam(bucket.name(), "k", {{"kept", "1"}}), callbacks);
    })));

    const std::vector<StringMap> attempts = {
        {{"note", "x\r\nx-amz-acl: public-read-write"}},
        {{"note", "x\nx-amz-grant-full-control: id=\"" + other_.userId + "\""}},
        {{"bad name", "x"}},
        {{"Content-Type", "text/plain\r\nx-amz-acl: public-read-write"}},
    };
    for (const auto& meta : attempts) {
        auto refused = perform<QuiloObjectRquest>([&](auto callbacks) {
            bucket.owner().setObjectMeta(metaParam(bucket.name(), "k", meta), callbacks);
        });
        EXPECT_TRUE(failedWith(refused, ErrorKind::misuse, "InvalidMetadata"))
            << meta.begin()->first;
        EXPECT_EQ(refused->responseStatusCode(), 0) << "something was sent";
    }

    EXPECT_EQ(awsGrants(server_, bucket.name(), "k"),
              (GrantRows{{"CanonicalUser", server_.userId, "FULL_CONTROL"}}));
    const auto head = split(awsHead(server_, bucket.name(), "k", {"kept", "note"}), '|');
    ASSERT_EQ(head.size(), 4u);
    EXPECT_EQ(head[2], "1");
    EXPECT_EQ(head[3], "None");
}

TEST_F(AclMetadata, SetObjectMetaKeepsWhoMayReadTheObject) {
    ScratchBucket bucket(server_, "meta-acl");
    bucket.put("k", "readable by all");
    ASSERT_TRUE(succeeded(perform<QuiloObjectRquest>([&](auto callbacks) {
        bucket.owner().setObjectAcl(
            aclParam(bucket.name(),
                     {{"READ", {std::string("uri=") + kAllUsers, "id=" + other_.userId}},
                      {"READ_ACP", {"id=" + other_.userId}},
                      {"FULL_CONTROL", {"id=" + server_.userId}}},
                     "k"),
            callbacks);
    })));
    const GrantRows granted{{"Group", kAllUsers, "READ"},
                            {"CanonicalUser", other_.userId, "READ"},
                            {"CanonicalUser", other_.userId, "READ_ACP"},
                            {"CanonicalUser", server_.userId, "FULL_CONTROL"}};

    auto replaced = perform<QuiloObjectRquest>([&](auto callbacks) {
        bucket.owner().setObjectMeta(metaParam(bucket.name(), "k", {{"after", "acl"}}), callbacks);
    });
    ASSERT_TRUE(succeeded(replaced));
    EXPECT_EQ(awsGrants(server_, bucket.name(), "k"), granted);
    auto head = bucket.objectMeta("k");
    ASSERT_TRUE(succeeded(head));
    EXPECT_EQ(head->metadata(), (StringMap{{"after", "acl"}}));
}

TEST_F(AclMetadata, SetObjectMetaFailsWithoutCopyingWhenTheAclCannotBeRead) {
    ScratchBucket bucket(server_, "meta-noacp");
    bucket.put("k", "x");
    // The other user may write into the bucket and read the object, but not read its list: a
    // copy alone would succeed and leave the object private to the other user.
    ASSERT_TRUE(succeeded(perform<QuiloBucketRequest>([&](auto callbacks) {
        bucket.owner().setBucketAcl(
            aclParam(bucket.name(), {{"WRITE", {"id=" + other_.userId}},
                                     {"FULL_CONTROL", {"id=" + server_.userId}}}),
            callbacks);
    })));
    ASSERT_TRUE(succeeded(perform<QuiloObjectRquest>([&](auto callbacks) {
        bucket.owner().setObjectAcl(aclParam(bucket.name(),
                                             {{"READ", {"id=" + other_.userId}},
                                              {"FULL_CONTROL", {"id=" + server_.userId}}},
                                             "k"),
                                    callbacks);
    })));
    auto before = bucket.objectAcl("k");
    ASSERT_TRUE(succeeded(before));

    Quilo other(other_.accessKey, other_.secretKey);
    auto refused = perform<QuiloObjectRquest>([&](auto callbacks) {
        other.setObjectMeta(metaParam(bucket.name(), "k", {{"by", "other"}}), callbacks);
    });
    EXPECT_TRUE(failedWith(refused, ErrorKind::service, "AccessDenied"));
    EXPECT_EQ(refused->responseStatusCode(), 403);

    auto after = bucket.objectAcl("k");
    ASSERT_TRUE(succeeded(after));
    EXPECT_EQ(after->accessControlPolicy(), before->accessControlPolicy());
    auto head = bucket.objectMeta("k");
    ASSERT_TRUE(succeeded(head));
    EXPECT_TRUE(head->metadata().empty());
}

// s3rver keeps no access-control lists: its bucket ?acl answers 501, its object ?acl a fixed
// document whose <Permission> sits outside <Grant>, which no reader can attribute.
TEST(AclMetadataS3rver, AclCallsFailWithWhatItAnswersAndMetadataReadsWork) {
    test::SharedStateGuard restore;
    const Server server = test::s3rver();
    test::useServer(server);
    ScratchBucket bucket(server, "s3rver-acl");
    bucket.put("k", "x");
    const AclMap acl{{"READ", {std::string("uri=") + kAllUsers}}};

    auto getBucket = bucket.bucketAcl();
    EXPECT_TRUE(failedWith(getBucket, ErrorKind::service, "NotImplemented"));
    EXPECT_EQ(getBucket->responseStatusCode(), 501);
    auto setBucket = perform<QuiloBucketRequest>([&](auto callbacks) {
        bucket.owner().setBucketAcl(aclParam(bucket.name(), acl), callbacks);
    });
    EXPECT_TRUE(failedWith(setBucket, ErrorKind::service, "NotImplemented"));
    auto getObject = bucket.objectAcl("k");
    EXPECT_TRUE(failedWith(getObject, ErrorKind::response, "MalformedResponse"));
    EXPECT_EQ(getObject->responseStatusCode(), 200);
    auto setObject = perform<QuiloObjectRquest>([&](auto callbacks) {
        bucket.owner().setObjectAcl(aclParam(bucket.name(), acl, "k"), callbacks);
    });
    EXPECT_TRUE(failedWith(setObject, ErrorKind::service, "NotImplemented"));

    // Replacing metadata reads the list first, and fails with it rather than drop it unseen.
    auto setMeta = perform<QuiloObjectRquest>([&](auto callbacks) {
        bucket.owner().setObjectMeta(metaParam(bucket.name(), "k", {{"a", "b"}}), callbacks);
    });
    EXPECT_TRUE(failedWith(setMeta, ErrorKind::response, "MalformedResponse"));

    auto bucketMeta = perform<QuiloBucketRequest>(
        [&](auto callbacks) { bucket.owner().getBucketMeta(bucket.name(), callbacks); });
    EXPECT_TRUE(succeeded(bucketMeta));
    auto head = bucket.objectMeta("k");
    ASSERT_TRUE(succeeded(head));
    EXPECT_TRUE(head->metadata().empty()) << "the failed replacement copied the object";
    EXPECT_EQ(head->responseHeaders().find("content-length")->second, "1");
}

}  // namespace
}  // namespace quilo
