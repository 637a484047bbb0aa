#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "quilo/quilo.hpp"
#include "support/ObservedQuilo.hpp"
#include "support/Outcome.hpp"
#include "support/RecordingTransport.hpp"

namespace quilo {
namespace {

using test::Event;
using test::Outcome;
using namespace std::chrono_literals;

std::string header(const S3Request& request, const std::string& name) {
    for (const auto& [field, value] : request.requestHeaders())
        if (field == name)
            return value;
    return "(none)";
}

// What no server shows: the options the transfers fix, and a listing that an overriding
// configureRequest already sees as it will be sent.
TEST(Operations, FixTheTransferOptionsAndSetTheListingBeforeConfiguration) {
    test::TransportGuard transport;
    test::ObservedQuilo client("AK", "SK");
    std::shared_ptr<QuiloBucketRequest> listing;
    std::string prefixAtConfiguration;
    client.beforeConfiguring = [&](const auto& request) {
        if (auto bucket = std::dynamic_pointer_cast<QuiloBucketRequest>(request)) {
            listing = bucket;
            prefixAtConfiguration = bucket->prefix();
        }
    };
    client.listObjects(
        {{"bucket", "b"}, {"maxKeys", 7}, {"prefix", "p/"}, {"delimiter", "/"}, {"marker", "p/9"}});
    client.uploadObject({{"filePath", "/tmp/p.jpg"}, {"bucket", "b"}, {"key", "k"}});
    client.downloadObject({{"bucket", "b"}, {"key", "k"}, {"downloadDestinationPath", "/tmp/d"}});
    ASSERT_TRUE(transport->waitForPerformed(3));
    ASSERT_TRUE(listing);
    EXPECT_EQ(prefixAtConfiguration, "p/");
    EXPECT_EQ(listing->maxResultCount(), 7);
    EXPECT_EQ(listing->delimiter(), "/");
    EXPECT_EQ(listing->marker(), "p/9");

    const auto upload = std::dynamic_pointer_cast<QuiloObjectRquest>(transport->performed()[1]);
    ASSERT_TRUE(upload);
    EXPECT_EQ(header(*upload, "Expect"), "100-continue");
    EXPECT_EQ(upload->timeOutSeconds(), 60.0);
    EXPECT_TRUE(upload->showAccurateProgress());
    const auto download = std::dynamic_pointer_cast<QuiloObjectRquest>(transport->performed()[2]);
    ASSERT_TRUE(download);
    EXPECT_EQ(download->downloadDestinationPath(), "/tmp/d");
    EXPECT_TRUE(download->showAccurateProgress());
    EXPECT_EQ(header(*download, "Expect"), "(none)");
}

// Runs an operation on a value map that must fail once, on the library's thread; its error.
template <class R>
std::optional<Error> misused(Quilo& client, void (Quilo::*operation)(const ValueMap&, Callbacks<R>),
                             const ValueMap& param) {
    Outcome<R> outcome;
    (client.*operation)(param, outcome.callbacks());
    if (!outcome.waitForEnd() || outcome.calls().size() != 1 || outcome.count(Event::failed) != 1 ||
        outcome.calls()[0].thread == std::this_thread::get_id()) {
        ADD_FAILURE() << outcome.summary();
        return std::nullopt;
    }
    return outcome.request()->error();
}

ValueMap changed(ValueMap map, const std::string& key, std::optional<Value> value) {
    map[key] = std::move(value);
    return map;
}

// A value map that cannot be sent as it is: nothing is configured or sent, and failed alone is
// called with a misuse naming the key and what it holds.
TEST(Operations, AMisusedValueMapIsNeitherConfiguredNorSent) {
    test::TransportGuard transport;
    test::ObservedQuilo client("AK", "SK");
    int configured = 0;
    client.beforeConfiguring = [&](const auto&) { ++configured; };
    const ValueMap listing = {
        {"bucket", "b"}, {"maxKeys", 100}, {"prefix", "p"}, {"delimiter", "/"}, {"marker", ""}};
    ValueMap noPrefix = listing;
    noPrefix.erase("prefix");
    const auto list = [&](const ValueMap& param) {
        return misused<QuiloBucketRequest>(client, &Quilo::listObjects, param);
    };
    const struct {
        std::optional<Error> error;
        const char* key;
        const char* problem;
    } cases[] = {
        {list(noPrefix), "prefix", "is missing"},
        {list(changed(listing, "bucket", std::nullopt)), "bucket", "has no value"},
        {list(changed(listing, "maxKeys", "100")), "maxKeys", "holds a string"},
        {list(changed(listing, "maxKeys", std::int64_t{100})), "maxKeys", "holds an int64"},
        {misused<QuiloBucketRequest>(client, &Quilo::setBucketAcl,
                                     {{"acl", StringMap{}}, {"bucket", "b"}}),
         "acl", "holds a StringMap"},
        {misused<QuiloObjectRquest>(client, &Quilo::setObjectAcl,
                                    {{"acl", AclMap{}}, {"bucket", "b"}}),
         "key", "is missing"},
        {misused<QuiloObjectRquest>(client, &Quilo::setObjectMeta,
                                    {{"meta", AclMap{}}, {"bucket", "b"}, {"key", "k"}}),
         "meta", "holds an AclMap"},
        {misused<QuiloBucketRequest>(client, &Quilo::deleteObjects,
                                     {{"bucket", "b"}, {"keys", "k"}}),
         "keys", "holds a string"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        ASSERT_TRUE(c.error);
        EXPECT_EQ(c.error->kind, ErrorKind::misuse);
        EXPECT_NE(c.error->message.find('"' + std::string(c.key) + '"'), std::string::npos)
            << c.error->message;
        EXPECT_NE(c.error->message.find(c.problem), std::string::npos) << c.error->message;
    }
    EXPECT_EQ(configured, 0);
    EXPECT_EQ(transport->performed().size(), 0u);
}

// A walk ends where its pages end, or fails at the first page that would not take it forward:
// a server circling through tokens or markers cannot keep it asking for ever.
TEST(Operations, PagesGoOnOnlyWhileEachPageMovesForward) {
    const auto walk = [](Quilo& client, bool v2, std::vector<std::string>& seen) {
        const auto note = [&](const auto& page, const std::string& next) {
            seen.push_back(page->error() ? page->error()->code : next);
        };
        if (v2)
            for (const auto& page : ObjectPagesV2(client, {.bucket = "b"}))
                note(page, page->nextContinuationToken());
        else
            for (const auto& page : ObjectPages(client, {.bucket = "b", .marker = "m"}))
                note(page, page->nextMarker());
    };
    // A page: its names (a trailing '/' makes a common prefix) and, when truncated, the next
    // marker or token it gives (which may be empty).
    using Page = std::pair<std::vector<std::string>, std::optional<std::string>>;
    const bool v1 = false, v2 = true;
    const std::string bad = "MalformedResponse";
    const struct {
        const char* name;
        bool v2;
        std::vector<Page> pages;
        std::vector<std::string> seen;
    } cases[] = {
        {"tokens alternating", v2, {{{"a"}, "A"}, {{"b"}, "B"}, {{"a"}, "A"}}, {"A", "B", bad}},
        {"a token repeated", v2, {{{"a"}, "A"}, {{"a"}, "A"}}, {"A", bad}},
        {"an empty page giving back its token", v2, {{{}, "A"}}, {"A", bad}},
        {"an empty page between", v2, {{{"a"}, "A"}, {{}, "B"}, {{"a"}, "C"}}, {"A", "B", bad}},
        {"an empty page, then on", v2, {{{"a"}, "A"}, {{}, "B"}, {{"b"}, {}}}, {"A", "B", ""}},
        {"no token to go on from", v2, {{{"a"}, ""}}, {bad}},
        {"tokens past prefixes", v2, {{{"a", "d/"}, "A"}, {{"d0"}, {}}}, {"A", ""}},
        {"a marker going back", v1, {{{"n"}, "n"}, {{"b"}, "b"}}, {"n", bad}},
        {"a marker repeated", v1, {{{"n"}, "n"}, {{}, "n"}}, {"n", bad}},
        {"markers empty", v1, {{{}, ""}}, {bad}},
        // Without NextMarker, a page ends at its greatest key or common prefix.
        {"markers past names",
         v1,
         {{{"n", "q", "p/"}, ""}, {{"r", "z/"}, ""}, {{"zz"}, {}}},
         {"q", "z/", ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TransportGuard transport;
        Quilo client("AK", "SK");
        std::vector<std::string> seen;
        std::atomic<bool> over = false;
        std::thread walker([&] {
            walk(client, c.v2, seen);
            over = true;
        });
        // The pages play in a circle; a walk still asking after ten ends on a last one.
        std::size_t asked = 0;
        while (!over) {
            if (!transport->waitForPerformed(asked + 1, 20ms))
                continue;
            const auto& [names, next] = c.pages[asked % c.pages.size()];
            std::string xml = "<ListBucketResult><IsTruncated>" +
                              std::string(next && asked < 10 ? "true" : "false") + "</IsTruncated>";
            for (const auto& name : names)
                xml += name.ends_with('/')
                           ? "<CommonPrefixes><Prefix>" + name + "</Prefix></CommonPrefixes>"
                           : "<Contents><Key>" + name + "</Key><Size>1</Size></Contents>";
            if (next)
                xml += "<NextMarker>" + *next + "</NextMarker><NextContinuationToken>" + *next +
                       "</NextContinuationToken>";
            transport->finish(transport->performed().back(), 200, {}, xml + "</ListBucketResult>");
            ++asked;
        }
        walker.join();
        EXPECT_EQ(seen, c.seen);
        EXPECT_EQ(asked, c.seen.size());
    }
}

// Whatever cannot be signed as the map asks gives no URL; nothing is sent either way.
TEST(Operations, APresignedURLIsSignedAsTheMapAsksOrNotAtAll) {
    test::TransportGuard transport;
    Quilo client("AK", "SK", true), anonymous, mistyped("AK", "SK");
    anonymous.config() = ValueMap{{"useSSL", Value(true)}};
    mistyped.config()->emplace("sessionToken", Value(true));
    const auto sign = [](Quilo& by, StringMap param) {
        param.merge(StringMap{{"bucket", "b"}, {"key", "k"}});
        return by.presignedURL(param).value_or("none");
    };
    EXPECT_TRUE(
        sign(client, {{"expiresSeconds", "604800"}, {"method", "HEAD"}}).starts_with("https://"));
    for (const std::string bad : {"method=POST", "method=get", "expiresSeconds=0",
                                  "expiresSeconds=604801", "expiresSeconds=60s", "key="}) {
        const auto equals = bad.find('=');
        EXPECT_EQ(sign(client, {{bad.substr(0, equals), bad.substr(equals + 1)}}), "none") << bad;
    }
    EXPECT_EQ(sign(anonymous, {}), "none");
    EXPECT_EQ(sign(mistyped, {}), "none");
    EXPECT_EQ(transport->performed().size(), 0u);
}

}  // namespace
}  // namespace quilo
