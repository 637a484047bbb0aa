#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "integration/ObjectTestSupport.hpp"
#include "quilo/quilo.hpp"

namespace quilo {
namespace {

using test::failedOnce;

const std::string kAllUsers = "http://acs.amazonaws.com/groups/global/AllUsers";

// "<grantee type as awscli names it> <id or uri> <permission>", one a grant.
using GrantRows = std::multiset<std::string>;

GrantRows rowsOf(const std::optional<S3AccessControlPolicy>& policy) {
    GrantRows rows;
    for (const auto& grant : policy ? policy->grants : std::vector<S3Grant>{}) {
        const bool group = grant.grantee.type == S3Grantee::Type::group;
        rows.insert((group ? "Group " + grant.grantee.uri : "CanonicalUser " + grant.grantee.id) +
                    " " + grant.permission);
    }
    return rows;
}

// The scratch bucket's ACL and metadata calls.
struct AclBucket : test::Scratch {
    using Scratch::Scratch;
    const std::string owner = "id=" + server.userId;

    void put(const std::string& key, const std::string& bytes) {
        ASSERT_TRUE(test::upload(client, bucket(), key, file(key, bytes)).ok());
    }
    test::Ended<QuiloBucketRequest> setBucketAcl(const AclMap& acl) {
        return test::op(client, &Quilo::setBucketAcl, {{"bucket", bucket()}, {"acl", acl}});
    }
    test::ObjectEnded setObjectAcl(const std::string& key, const AclMap& acl) {
        return test::op(client, &Quilo::setObjectAcl,
                        {{"bucket", bucket()}, {"key", key}, {"acl", acl}});
    }
    test::ObjectEnded setObjectMeta(const std::string& key, const StringMap& meta) {
        return test::op(client, &Quilo::setObjectMeta,
                        {{"bucket", bucket()}, {"key", key}, {"meta", meta}});
    }
    test::ObjectEnded objectCall(void (Quilo::*get)(const StringMap&, Callbacks<QuiloObjectRquest>),
                                 const std::string& key) {
        return test::op(client, get, {{"bucket", bucket()}, {"key", key}});
    }
    GrantRows objectGrants(const std::string& key) {
        const auto read = objectCall(&Quilo::getObjectAcl, key);
        EXPECT_TRUE(read.ok()) << read.summary();
        return read.ok() ? rowsOf(read.request()->accessControlPolicy()) : GrantRows{};
    }
};

class AclMetadata : public ::testing::Test {
  protected:
    AclBucket s_{test::rgw()};
    test::Server other_ = test::rgwOther();
};

TEST_F(AclMetadata, AclsReadBackAsSet) {
    ASSERT_TRUE(
        s_.setBucketAcl({{"READ", {"uri=" + kAllUsers}}, {"FULL_CONTROL", {s_.owner}}}).ok());
    const GrantRows expected{"Group " + kAllUsers + " READ",
                             "CanonicalUser " + s_.server.userId + " FULL_CONTROL"};
    const auto read = test::op(s_.client, &Quilo::getBucketAcl, s_.bucket());
    ASSERT_TRUE(read.ok() && read.request()->accessControlPolicy()) << read.summary();
    EXPECT_EQ(read.request()->accessControlPolicy()->owner.id, s_.server.userId);
    EXPECT_EQ(rowsOf(read.request()->accessControlPolicy()), expected);
    std::string peer;  // awscli sorts the rows, tab-separated
    for (const auto& row : expected)
        peer += (peer.empty() ? "" : "\t") + row;
    EXPECT_EQ(test::awsOut(s_.server,
                           {"s3api", "get-bucket-acl", "--bucket", s_.bucket(), "--query",
                            "sort(Grants[].join(' ', [Grantee.Type, Grantee.ID || Grantee.URI, "
                            "Permission]))",
                            "--output", "text"}),
              peer + "\n");

    // Two grantees under one permission on an object.
    s_.put("k", "x");
    ASSERT_TRUE(s_.setObjectAcl("k", {{"READ", {"uri=" + kAllUsers, "id=" + other_.userId}},
                                      {"FULL_CONTROL", {s_.owner}}})
                    .ok());
    EXPECT_EQ(s_.objectGrants("k"),
              (GrantRows{"Group " + kAllUsers + " READ", "CanonicalUser " + other_.userId + " READ",
                         "CanonicalUser " + s_.server.userId + " FULL_CONTROL"}));
}

// Malformed grants and header injection through metadata go nowhere and change nothing.
TEST_F(AclMetadata, MisuseIsRefusedBeforeSending) {
    s_.put("k", "x");
    // A permission not named exactly, a grantee of no known form, one with nothing after "id=",
    // and one that would split its header.
    const std::vector<std::pair<AclMap, std::string>> cases = {
        {{{"read", {s_.owner}}}, "InvalidPermission"},
        {{{"READ", {"user=x"}}}, "InvalidGrantee"},
        {{{"READ", {"id="}}}, "InvalidGrantee"},
        {{{"READ", {"uri=" + kAllUsers}}, {"WRITE", {"id=a\r\nx-amz-acl: public-read-write"}}},
         "InvalidGrantee"},
    };
    for (const auto& [acl, code] : cases) {
        const auto grantee = acl.rbegin()->second.back();
        EXPECT_TRUE(failedOnce(s_.setBucketAcl(acl), ErrorKind::misuse, 0, code)) << grantee;
        EXPECT_TRUE(failedOnce(s_.setObjectAcl("k", acl), ErrorKind::misuse, 0, code)) << grantee;
    }
    ASSERT_TRUE(s_.setObjectMeta("k", {{"kept", "1"}}).ok());
    for (const StringMap& meta :
         std::vector<StringMap>{{{"note", "x\r\nx-amz-acl: public-read-write"}},
                                {{"bad name", "x"}},
                                {{"Content-Type", "text/plain\nx-amz-acl: public-read-write"}}})
        EXPECT_TRUE(
            failedOnce(s_.setObjectMeta("k", meta), ErrorKind::misuse, 0, "InvalidMetadata"))
            << meta.begin()->first;
    EXPECT_EQ(s_.objectGrants("k"),
              GrantRows{"CanonicalUser " + s_.server.userId + " FULL_CONTROL"});
    const auto head = s_.objectCall(&Quilo::getObjectMeta, "k");
    EXPECT_TRUE(head.ok() && (head.request()->metadata() == StringMap{{"kept", "1"}}))
        << head.summary();
}

// Replacing the metadata copies the object onto itself: the bytes and the ACL must survive it.
TEST_F(AclMetadata, SetObjectMetaReplacesTheMetadataAndKeepsBytesAndAcl) {
    std::string bytes(5000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 7);
    s_.put("k", bytes);
    ASSERT_TRUE(s_.setObjectAcl("k", {{"READ", {"uri=" + kAllUsers}},
                                      {"READ_ACP", {"id=" + other_.userId}},
                                      {"FULL_CONTROL", {s_.owner}}})
                    .ok());
    const auto granted = s_.objectGrants("k");
    ASSERT_EQ(granted.size(), 3u);
    ASSERT_TRUE(s_.setObjectMeta("k", {{"stale", "yes"}}).ok());
    const auto set = s_.setObjectMeta(
        "k", {{"Color", "blue"}, {"owner-name", "Ann Example"}, {"Content-Type", "text/x-quilo"}});
    ASSERT_TRUE(set.ok()) << set.summary();

    const auto head = s_.objectCall(&Quilo::getObjectMeta, "k");
    ASSERT_TRUE(head.ok()) << head.summary();
    EXPECT_EQ(head.request()->metadata(),
              (StringMap{{"color", "blue"}, {"owner-name", "Ann Example"}}));
    EXPECT_EQ(head.request()->responseHeaders().at("content-type"), "text/x-quilo");
    EXPECT_EQ(test::awsOut(s_.server, {"s3api", "head-object", "--bucket", s_.bucket(), "--key",
                                       "k", "--query",
                                       "[ContentType, Metadata.color, Metadata.\"owner-name\", "
                                       "Metadata.stale]",
                                       "--output", "text"}),
              "text/x-quilo\tblue\tAnn Example\tNone\n");
    EXPECT_EQ(s_.objectGrants("k"), granted);
    const auto fetched = test::download(s_.client, s_.bucket(), "k");
    EXPECT_TRUE(fetched.ok() && fetched.request()->responseData() == bytes) << "the bytes changed";
}

// s3rver keeps no access-control lists: bucket ?acl answers 501, object ?acl a fixed document
// whose <Permission> sits outside <Grant>, which no reader can attribute.
TEST(AclMetadataS3rver, AclCallsFailWithWhatItAnswers) {
    AclBucket s(test::s3rver());
    s.put("k", "x");
    const AclMap acl{{"READ", {"uri=" + kAllUsers}}};
    EXPECT_TRUE(failedOnce(test::op(s.client, &Quilo::getBucketAcl, s.bucket()), ErrorKind::service,
                           501, "NotImplemented"));
    EXPECT_TRUE(failedOnce(s.setObjectAcl("k", acl), ErrorKind::service, 501, "NotImplemented"));
    EXPECT_TRUE(failedOnce(s.objectCall(&Quilo::getObjectAcl, "k"), ErrorKind::response, 200,
                           "MalformedResponse"));
    // Replacing metadata reads the ACL first and fails with it rather than drop it unseen.
    EXPECT_TRUE(failedOnce(s.setObjectMeta("k", {{"a", "b"}}), ErrorKind::response, 200,
                           "MalformedResponse"));
    const auto head = s.objectCall(&Quilo::getObjectMeta, "k");
    EXPECT_TRUE(head.ok() && head.request()->metadata().empty())
        << "the failed replacement copied the object: " << head.summary();
}

}  // namespace
}  // namespace quilo
