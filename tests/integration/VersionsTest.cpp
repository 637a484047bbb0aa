// Versions, the listings that page through them, and tags, on RGW, each against what awscli sees.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "integration/Blocking.hpp"
#include "quilo/quilo.hpp"

namespace quilo {
namespace {

using test::failedOnce;
using test::line;
using test::lines;
using test::op;
using test::pages;

// Keys that need encoding both ways, two versions of each and a delete marker.
struct VersionedBucket : ::testing::Test {
    void SetUp() override {
        ASSERT_TRUE(op(s.client, &Quilo::setBucketVersioning,
                       {{"bucket", s.bucket()}, {"status", "Enabled"}})
                        .ok());
        for (int round = 0; round < 2; ++round)
            for (const char* key : {"a%41", "a+b c", "dir/x", "dir/y", "\xD0\xBA\xD0\xBB"})
                ASSERT_TRUE(test::upload(s.client, s.bucket(), key, s.file("f", key)).ok());
        s.s3api("delete-object", {"--key", "dir/y"});
    }
    test::Scratch s{test::rgw()};
};

TEST_F(VersionedBucket, ListingsPageThroughWhatAwscliLists) {
    const auto v2 = [&](const ListObjectsV2Args& args) {
        std::string out;
        for (const auto& page : ObjectPagesV2(s.client, args)) {
            EXPECT_FALSE(page->error()) << page->error()->description();
            for (const auto& object : page->objects())
                out += line({object.key, std::to_string(object.size),
                             object.owner ? object.owner->id : "None"});
            for (const auto& prefix : page->commonPrefixes())
                out += line({"PRE", prefix});
        }
        return lines(out);
    };
    const auto versions =
        pages(s.client, &Quilo::listObjectVersions, {{"bucket", s.bucket()}, {"maxKeys", 3}},
              [](const QuiloBucketRequest& page, ValueMap& param, std::string& out) {
                  for (const auto& v : page.versions())
                      out += line({v.isDeleteMarker ? "MARKER" : std::to_string(v.size), v.key,
                                   v.versionId, v.isLatest ? "True" : "False"});
                  param["keyMarker"] = page.nextMarker();
                  param["versionIdMarker"] = page.nextVersionIdMarker();
                  return page.isTruncated();
              });
    const std::string contents = "Contents[].[Key,Size,Owner.ID]";
    EXPECT_EQ(v2({.bucket = s.bucket(), .maxKeys = 2, .fetchOwner = true}),
              lines(s.s3api("list-objects-v2", {"--fetch-owner", "--query", contents})));
    EXPECT_EQ(v2({.bucket = s.bucket(), .delimiter = "/", .maxKeys = 2, .startAfter = "a%41"}),
              lines(s.s3api("list-objects-v2",
                            {"--start-after", "a%41", "--delimiter", "/", "--query", contents}) +
                    "\nPRE\tdir/"));
    EXPECT_EQ(versions, lines(s.s3api("list-object-versions",
                                      {"--query",
                                       "[Versions[].[Size,Key,VersionId,IsLatest],"
                                       "DeleteMarkers[].['MARKER',Key,VersionId,IsLatest]][]"})));
    EXPECT_EQ(versions.size(), 11u);

    ASSERT_TRUE(
        op(s.client, &Quilo::setBucketVersioning, {{"bucket", s.bucket()}, {"status", "Suspended"}})
            .ok());
    const auto status = op(s.client, &Quilo::getBucketVersioning, s.bucket());
    EXPECT_EQ(status.request()->versioningStatus(),
              s.s3api("get-bucket-versioning", {"--query", "Status"}));
}

TEST_F(VersionedBucket, TagsReachTheVersionTheyNameBothWays) {
    const auto listed =
        op(s.client, &Quilo::listObjectVersions, {{"bucket", s.bucket()}, {"prefix", "a+b c"}});
    ASSERT_TRUE(listed.ok() && listed.request()->versions().size() == 2) << listed.summary();
    const std::string latest = listed.request()->versions().front().versionId;
    const std::string older = listed.request()->versions().back().versionId;
    const StringMap object = {{"bucket", s.bucket()}, {"key", "a+b c"}};
    const auto tag = [&](const StringMap& tags, const std::string& version) {
        ValueMap param = {{"bucket", s.bucket()}, {"key", "a+b c"}, {"tags", tags}};
        if (!version.empty())
            param["versionId"] = version;
        return op(s.client, &Quilo::setObjectTagging, param);
    };
    const auto tagsOf = [&](const std::string& version) {
        StringMap param = object;
        if (!version.empty())
            param["versionId"] = version;
        const auto read = op(s.client, &Quilo::getObjectTagging, param);
        EXPECT_TRUE(read.ok()) << read.summary();
        return read.ok() ? read.request()->tags() : StringMap{{"unread", ""}};
    };
    const std::string awsTags = "TagSet[].[Key,Value]";
    ASSERT_TRUE(tag({{"team", "two words & more"}, {"empty", ""}}, "").ok());
    ASSERT_TRUE(tag({{"old", "1"}}, older).ok());
    EXPECT_EQ(lines(s.s3api("get-object-tagging", {"--key", "a+b c", "--query", awsTags})),
              (std::multiset<std::string>{"empty\t", "team\ttwo words & more"}));
    // A version id may start with '-', which awscli takes for an option unless joined by '='.
    EXPECT_EQ(lines(s.s3api("get-object-tagging",
                            {"--key", "a+b c", "--version-id=" + older, "--query", awsTags})),
              std::multiset<std::string>{"old\t1"});
    s.s3api("put-object-tagging",
            {"--key", "a+b c", "--tagging", R"({"TagSet":[{"Key":"by","Value":"awscli"}]})"});
    EXPECT_EQ(tagsOf(""), (StringMap{{"by", "awscli"}}));
    EXPECT_EQ(tagsOf(older), (StringMap{{"old", "1"}}));
    // RGW 16 removes the tags of an object that keeps versions only when the version is named.
    StringMap latestVersion = object;
    latestVersion["versionId"] = latest;
    ASSERT_TRUE(op(s.client, &Quilo::deleteObjectTagging, latestVersion).ok());
    EXPECT_EQ(tagsOf(""), StringMap{});

    ASSERT_TRUE(op(s.client, &Quilo::setBucketTagging,
                   {{"bucket", s.bucket()}, {"tags", StringMap{{"cost", "centre 7"}}}})
                    .ok());
    EXPECT_EQ(s.s3api("get-bucket-tagging", {"--query", awsTags}), "cost\tcentre 7");
    const auto bucketTags = op(s.client, &Quilo::getBucketTagging, s.bucket());
    EXPECT_EQ(bucketTags.request()->tags(), (StringMap{{"cost", "centre 7"}}));
    ASSERT_TRUE(op(s.client, &Quilo::deleteBucketTagging, s.bucket()).ok());
    EXPECT_TRUE(failedOnce(op(s.client, &Quilo::getBucketTagging, s.bucket()), ErrorKind::service,
                           404, "NoSuchTagSet"));

    // What cannot be sent as asked is refused before it goes.
    StringMap eleven;
    for (int i = 0; i < 11; ++i)
        eleven["k" + std::to_string(i)] = "v";
    for (const auto& refused : {tag(eleven, ""), tag({{"bad", "a\x01z"}}, ""), tag({{"", "v"}}, ""),
                                tag({{"k", "v"}}, "id\nwith a break")})
        EXPECT_TRUE(failedOnce(refused, ErrorKind::misuse, 0, "InvalidParameter"));
    EXPECT_EQ(tagsOf(""), StringMap{});
}

}  // namespace
}  // namespace quilo
