#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "integration/ObjectTestSupport.hpp"
#include "quilo/quilo.hpp"
#include "support/SharedState.hpp"

namespace quilo {
namespace {

using test::Listing;
using test::Server;
using test::ServerCase;

constexpr int kKeys = 250;

// Key i of the tree. Names at one level never start with one another, so that s3rver, which
// walks its folders in file-name order, lists in key order too; and every folder holds keys of
// its own, since s3rver misses a common prefix whose keys all lie a folder deeper.
std::string keyOf(int i) {
    static const char* const folders[] = {"a-",         "file-",      "alpha/", "alpha/",
                                          "alpha/one/", "alpha/two/", "beta/",  "beta/",
                                          "beta/deep/", "gamma/"};
    const std::string folder = folders[i % 10];
    std::string number = std::to_string(i);
    number.insert(0, 3 - std::min<std::size_t>(3, number.size()), '0');
    return folder.back() == '-' ? folder + number : folder + "k-" + number;
}

std::uint64_t sizeOf(int i) {
    return 1 + static_cast<std::uint64_t>(i * 37 % 200);
}

std::vector<std::string> sortedKeys(const std::function<bool(const std::string&)>& wanted) {
    std::vector<std::string> keys;
    for (int i = 0; i < kKeys; ++i) {
        if (wanted(keyOf(i)))
            keys.push_back(keyOf(i));
    }
    std::sort(keys.begin(), keys.end());
    return keys;
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The keys directly under `prefix` (no further '/').
std::vector<std::string> keysDirectlyUnder(const std::string& prefix) {
    return sortedKeys([&](const std::string& key) {
        return startsWith(key, prefix) && key.find('/', prefix.size()) == std::string::npos;
    });
}

class Listings : public ::testing::TestWithParam<ServerCase> {
  protected:
    void SetUp() override {
        server_ = GetParam().server();
        test::useServer(server_);
        // Enough uploads in flight to fill the bucket in a second or two.
        Quilo::GlobalConfig(server_.accessKey, server_.secretKey, server_.https, 8);
    }

    Quilo& client() { return *Quilo::sharedInstance(); }

    // Uploads the tree, all at once.
    void fill(const std::string& bucket) {
        std::map<std::uint64_t, std::string> files;
        std::vector<test::Outcome<QuiloObjectRquest>> uploads(kKeys);
        for (int i = 0; i < kKeys; ++i) {
            auto& file = files[sizeOf(i)];
            if (file.empty())
                file = dir_.file(std::to_string(sizeOf(i)), std::string(sizeOf(i), 'a' + i % 26));
            client().uploadObject({{"filePath", file}, {"bucket", bucket}, {"key", keyOf(i)}},
                                  uploads[i].transferCallbacks());
        }
        for (int i = 0; i < kKeys; ++i) {
            ASSERT_TRUE(uploads[i].waitForEnd(std::chrono::seconds(60), {}));
            ASSERT_EQ(uploads[i].count(test::Event::finished), 1)
                << keyOf(i) << ": " << uploads[i].summary();
        }
    }

    test::SharedStateGuard restore_;
    Server server_;
    test::TempDir dir_;
};

TEST_P(Listings, ATreeOf250Keys) {
    test::ScratchBucket bucket(client(), server_, "tree-" + server_.name);
    ASSERT_NO_FATAL_FAILURE(fill(bucket.name()));
    const auto all = sortedKeys([](const std::string&) { return true; });

    {
        SCOPED_TRACE("pages of 100, each from the last one's nextMarker");
        const Listing listing = test::listAll(client(), bucket.name(), 100);
        EXPECT_TRUE(listing.complete);
        EXPECT_EQ(listing.pages, 3);
        EXPECT_EQ(listing.keys(), all);
        EXPECT_TRUE(listing.prefixes.empty());
        for (const auto& object : listing.objects) {
            const int i = std::stoi(object.key.substr(object.key.size() - 3));
            EXPECT_EQ(object.size, sizeOf(i)) << object.key;
            EXPECT_EQ(object.etag.size(), 32u) << object.key;
        }

        SCOPED_TRACE("awscli, paging by itself");
        const auto peer = test::awsListing(server_, bucket.name(), 100);
        ASSERT_EQ(peer.size(), listing.objects.size());
        for (std::size_t i = 0; i < peer.size(); ++i) {
            EXPECT_EQ(peer[i].first, listing.objects[i].key);
            EXPECT_EQ(peer[i].second, listing.objects[i].size) << peer[i].first;
        }
    }
    {
        SCOPED_TRACE("delimiter at the top and under a prefix");
        const Listing top = test::listAll(client(), bucket.name(), 1000, "", "/");
        EXPECT_EQ(top.pages, 1);
        EXPECT_EQ(top.prefixes, (std::vector<std::string>{"alpha/", "beta/", "gamma/"}));
        EXPECT_EQ(top.keys(), keysDirectlyUnder(""));

        const Listing alpha = test::listAll(client(), bucket.name(), 1000, "alpha/", "/");
        EXPECT_EQ(alpha.prefixes, (std::vector<std::string>{"alpha/one/", "alpha/two/"}));
        EXPECT_EQ(alpha.keys(), keysDirectlyUnder("alpha/"));

        const Listing beta = test::listAll(client(), bucket.name(), 1000, "beta/", "/");
        EXPECT_EQ(beta.prefixes, std::vector<std::string>{"beta/deep/"});
        EXPECT_EQ(beta.keys(), keysDirectlyUnder("beta/"));
    }
    {
        SCOPED_TRACE("small pages with a delimiter, ending on keys and on common prefixes");
        const Listing top = test::listAll(client(), bucket.name(), 7, "", "/");
        EXPECT_TRUE(top.complete);
        EXPECT_GE(top.pages, 8);  // 50 keys at most 7 to a page
        EXPECT_EQ(top.prefixes, (std::vector<std::string>{"alpha/", "beta/", "gamma/"}));
        EXPECT_EQ(top.keys(), keysDirectlyUnder(""));
    }
    {
        SCOPED_TRACE("a prefix alone filters, at any depth");
        for (const std::string prefix : {"beta/", "alpha/one/", "a", "file-04", "nothing"}) {
            const Listing listing = test::listAll(client(), bucket.name(), 1000, prefix);
            EXPECT_TRUE(listing.prefixes.empty());
            EXPECT_EQ(listing.keys(),
                      sortedKeys([&](const std::string& key) { return startsWith(key, prefix); }))
                << prefix;
        }
    }
    {
        SCOPED_TRACE("maxKeys 0");
        const auto page = test::listPage(client(), bucket.name(), 0);
        ASSERT_TRUE(page.ok()) << page.summary;
        EXPECT_TRUE(page.request->objects().empty());
        EXPECT_TRUE(page.request->commonPrefixes().empty());
        // Both servers answer an empty, complete page.
        EXPECT_FALSE(page.request->isTruncated());
        EXPECT_EQ(page.request->nextMarker(), "");
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, Listings,
                         ::testing::Values(ServerCase{"rgw", &test::rgw},
                                           ServerCase{"s3rver", &test::s3rver}),
                         test::serverCaseName);

}  // namespace
}  // namespace quilo
