// Access-control lists and metadata of buckets and objects, on RGW and as s3rver fails them.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "integration/Blocking.hpp"
#include "quilo/quilo.hpp"

namespace quilo {
namespace {

using test::failedOnce;
using test::op;

const std::string kAllUsers = "http://acs.amazonaws.com/groups/global/AllUsers";

// "<grantee type as awscli names it> <id or uri> <permission>", one a grant.
using GrantRows = std::multiset<std::string>;

template <class R>
GrantRows grantsOf(const test::Outcome<R>& read) {
    GrantRows rows;
    EXPECT_TRUE(read.ok() && read.request()->accessControlPolicy()) << read.summary();
    for (const auto& grant :
         read.ok() ? read.request()->accessControlPolicy()->grants : std::vector<S3Grant>{}) {
        const bool group = grant.grantee.type == S3Grantee::Type::group;
        rows.insert((group ? "Group " + grant.grantee.uri : "CanonicalUser " + grant.grantee.id) +
                    " " + grant.permission);
    }
    return rows;
}

class RgwAclMetadata : public test::BothServers {};

// Grants set on the bucket and on an object read back as set (the tool's tests read them with
// awscli); replacing the object's metadata, which copies it onto itself, keeps its bytes and its
// grants.
TEST_P(RgwAclMetadata, RoundTrip) {
    test::Scratch& s = s_;
    const auto bucket = s.bucket(), owner = s.server.userId, other = test::rgwOther().userId;
    const StringMap object = {{"bucket", bucket}, {"key", "k"}};
    ASSERT_TRUE(
        op(s.client, &Quilo::setBucketAcl,
           {{"bucket", bucket},
            {"acl", AclMap{{"READ", {"uri=" + kAllUsers}}, {"FULL_CONTROL", {"id=" + owner}}}}})
            .ok());
    const auto read = op(s.client, &Quilo::getBucketAcl, bucket);
    EXPECT_EQ(grantsOf(read), (GrantRows{"Group " + kAllUsers + " READ",
                                         "CanonicalUser " + owner + " FULL_CONTROL"}));
    EXPECT_EQ(read.request()->accessControlPolicy()->owner.id, owner);

    const std::string bytes = test::randomBytes(5000);
    S3ObjectRequest::setMultipartThreshold(4096);  // in parts, put back by the scratch
    // A canned policy goes with the initiation of the parts.
    ASSERT_TRUE(op(s.client, &Quilo::uploadObject,
                   {{"bucket", bucket},
                    {"key", "k"},
                    {"filePath", s.file("k", bytes)},
                    {"accessPolicy", "public-read"}})
                    .ok());
    EXPECT_EQ(
        grantsOf(op(s.client, &Quilo::getObjectAcl, object)),
        (GrantRows{"Group " + kAllUsers + " READ", "CanonicalUser " + owner + " FULL_CONTROL"}));
    // Two grantees under one permission.
    ASSERT_TRUE(op(s.client, &Quilo::setObjectAcl,
                   {{"bucket", bucket},
                    {"key", "k"},
                    {"acl", AclMap{{"READ", {"uri=" + kAllUsers, "id=" + other}},
                                   {"READ_ACP", {"id=" + other}},
                                   {"FULL_CONTROL", {"id=" + owner}}}}})
                    .ok());
    const GrantRows granted{"Group " + kAllUsers + " READ", "CanonicalUser " + other + " READ",
                            "CanonicalUser " + other + " READ_ACP",
                            "CanonicalUser " + owner + " FULL_CONTROL"};
    EXPECT_EQ(grantsOf(op(s.client, &Quilo::getObjectAcl, object)), granted);

    const auto setMeta = [&](const StringMap& meta) {
        return op(s.client, &Quilo::setObjectMeta,
                  {{"bucket", bucket}, {"key", "k"}, {"meta", meta}});
    };
    ASSERT_TRUE(setMeta({{"stale", "yes"}}).ok());
    const auto set =
        setMeta({{"Color", "blue"}, {"owner-name", "Ann"}, {"Content-Type", "text/x-q"}});
    ASSERT_TRUE(set.ok()) << set.summary();
    const auto head = op(s.client, &Quilo::getObjectMeta, object);
    ASSERT_TRUE(head.ok()) << head.summary();
    EXPECT_EQ(head.request()->metadata(), (StringMap{{"color", "blue"}, {"owner-name", "Ann"}}));
    EXPECT_EQ(head.request()->responseHeaders().at("content-type"), "text/x-q");
    EXPECT_EQ(grantsOf(op(s.client, &Quilo::getObjectAcl, object)), granted);
    const auto fetched = test::download(s.client, bucket, "k");
    EXPECT_TRUE(fetched.ok() && fetched.request()->responseData() == bytes) << "the bytes changed";
}

INSTANTIATE_TEST_SUITE_P(Servers, RgwAclMetadata, ::testing::Values("rgw", "rgwVirtual"),
                         [](const auto& info) { return info.param; });

// s3rver keeps no access-control lists: bucket ?acl answers 501, object ?acl a fixed document
// whose <Permission> sits outside <Grant>, which no reader can attribute.
TEST(AclMetadata, S3rverFailsTheAclCallsWithWhatItAnswers) {
    test::Scratch s(test::s3rver());
    const StringMap object = {{"bucket", s.bucket()}, {"key", "k"}};
    ASSERT_TRUE(test::upload(s.client, s.bucket(), "k", s.file("k", "x")).ok());
    EXPECT_TRUE(failedOnce(op(s.client, &Quilo::getBucketAcl, s.bucket()), ErrorKind::service, 501,
                           "NotImplemented"));
    EXPECT_TRUE(failedOnce(
        op(s.client, &Quilo::setObjectAcl,
           {{"bucket", s.bucket()}, {"key", "k"}, {"acl", AclMap{{"READ", {"uri=" + kAllUsers}}}}}),
        ErrorKind::service, 501, "NotImplemented"));
    EXPECT_TRUE(failedOnce(op(s.client, &Quilo::getObjectAcl, object), ErrorKind::response, 200,
                           "MalformedResponse"));
    // Replacing metadata reads the ACL first and fails with it rather than drop it unseen.
    EXPECT_TRUE(
        failedOnce(op(s.client, &Quilo::setObjectMeta,
                      {{"bucket", s.bucket()}, {"key", "k"}, {"meta", StringMap{{"a", "b"}}}}),
                   ErrorKind::response, 200, "MalformedResponse"));
    const auto head = op(s.client, &Quilo::getObjectMeta, object);
    EXPECT_TRUE(head.ok() && head.request()->metadata().empty())
        << "the failed replacement copied the object: " << head.summary();
}

}  // namespace
}  // namespace quilo
