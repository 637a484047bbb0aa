#include <gtest/gtest.h>

#include <memory>
#include <sstream>
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

// A configured request in one line: its class and operation, bucket and key, the options an
// operation may set, then its headers.
std::string described(const std::shared_ptr<S3Request>& request) {
    const auto quoted = [](const std::optional<std::string>& text) {
        return text ? '"' + *text + '"' : std::string("-");
    };
    static const char* bucketOperations[] = {"list",   "create", "remove",
                                             "getAcl", "setAcl", "head"};
    static const char* objectOperations[] = {"get",    "putFile", "copy", "remove",
                                             "getAcl", "setAcl",  "head", "setMeta"};
    std::string text = "untyped";
    const auto object = std::dynamic_pointer_cast<QuiloObjectRquest>(request);
    if (std::dynamic_pointer_cast<QuiloServiceRequest>(request)) {
        text = "service";
    } else if (const auto bucket = std::dynamic_pointer_cast<QuiloBucketRequest>(request)) {
        text = std::string("bucket ") + bucketOperations[static_cast<int>(bucket->operation())];
        if (bucket->maxResultCount())
            text += " max=" + std::to_string(*bucket->maxResultCount());
        if (!bucket->prefix().empty() || !bucket->delimiter().empty() || !bucket->marker().empty())
            text += " prefix=" + quoted(bucket->prefix()) +
                    " delimiter=" + quoted(bucket->delimiter()) +
                    " marker=" + quoted(bucket->marker());
    } else if (object) {
        text = std::string("object ") + objectOperations[static_cast<int>(object->operation())];
    }
    text += " " + quoted(request->bucket()) + "/" + quoted(request->key());
    if (request->uploadFilePath())
        text += " file=" + *request->uploadFilePath();
    if (object && object->accessPolicy())
        text += " policy=" + *object->accessPolicy();
    if (request->downloadDestinationPath())
        text += " to=" + *request->downloadDestinationPath();
    if (request->showAccurateProgress())
        text += " accurate";
    for (const auto& [name, value] : request->requestHeaders())
        text += " | " + name + ": " + value;
    return text;
}

// "bucket=b key=k" as a map; "key=" holds an empty string.
StringMap params(const std::string& text) {
    StringMap map;
    std::istringstream words(text);
    for (std::string word; words >> word;)
        map[word.substr(0, word.find('='))] = word.substr(word.find('=') + 1);
    return map;
}

// Each operation hands its keys to the right factory arguments and sets its options; keys it
// does not read are ignored. Called without callables.
TEST(Operations, HandTheirKeysToTheFactoryAndSetTheirOptions) {
    test::TransportGuard transport;
    test::ObservedQuilo client("AK", "SK");
    std::vector<std::shared_ptr<S3Request>> requests;
    std::string atConfiguration;
    client.beforeConfiguring = [&](const auto& request) {
        requests.push_back(request);
        atConfiguration = described(request);
    };
    // The one request the last operation configured, described once it has been started.
    auto configured = [&, seen = std::size_t{0}]() mutable -> std::string {
        if (requests.size() != ++seen)
            return std::to_string(requests.size() + 1 - seen) + " requests configured";
        if (requests.back()->state() == HTTPRequest::State::ready)
            return "never started";
        return requests.back()->accessKey() == "AK" ? described(requests.back()) : "unconfigured";
    };
    client.listBuckets();
    EXPECT_EQ(configured(), "service -/-");
    client.createBucket("Photos 2024 ");
    EXPECT_EQ(configured(), R"(bucket create "Photos 2024 "/-)");
    client.deleteBucket("old");
    EXPECT_EQ(configured(), R"(bucket remove "old"/-)");
    client.getBucketAcl("");
    EXPECT_EQ(configured(), R"(bucket getAcl ""/-)");
    client.getBucketMeta("b");
    EXPECT_EQ(configured(), R"(bucket head "b"/-)");
    const std::string allUsers = "uri=http://acs.amazonaws.com/groups/global/AllUsers";
    client.setBucketAcl(
        {{"acl", AclMap{{"READ", {allUsers}}, {"WRITE_ACP", {}}}}, {"bucket", "b"}, {"key", 5}});
    EXPECT_EQ(
        configured(),
        R"(bucket setAcl "b"/- | x-amz-grant-read: uri="http://acs.amazonaws.com/groups/global/AllUsers" | x-amz-grant-write-acp: )");
    client.setBucketAcl({{"acl", AclMap{}}, {"bucket", "b"}});
    EXPECT_EQ(configured(), R"(bucket setAcl "b"/-)");
    client.listObjects({{"bucket", "b"},
                        {"maxKeys", -5},
                        {"prefix", ""},
                        {"delimiter", "/"},
                        {"marker", "p/9"},
                        {"max-keys", "x"}});
    EXPECT_EQ(configured(), R"(bucket list max=-5 prefix="" delimiter="/" marker="p/9" "b"/-)");
    // An overriding configureRequest sees the listing as it will be sent.
    EXPECT_EQ(atConfiguration, described(requests.back()));
    client.uploadObject(params(
        "filePath=/tmp/p.jpg bucket=b key=k accessPolicy=public-read downloadDestinationPath=/x"));
    EXPECT_EQ(
        configured(),
        R"(object putFile "b"/"k" file=/tmp/p.jpg policy=public-read accurate | Expect: 100-continue)");
    client.downloadObject(params("bucket=b key=d/k downloadDestinationPath=/x accessPolicy=x"));
    EXPECT_EQ(configured(), R"(object get "b"/"d/k" to=/x accurate)");
    client.copyObject(params("desKey=dk desBucket=db srcKey=sk srcBucket=sb key=x"));
    EXPECT_EQ(configured(), R"(object copy "db"/"dk" | x-amz-copy-source: /sb/sk)");
    client.deleteObject(params("bucket=b key=k srcBucket=x"));
    EXPECT_EQ(configured(), R"(object remove "b"/"k")");
    client.getObjectAcl({});
    EXPECT_EQ(configured(), "object getAcl -/-");
    client.getObjectMeta(params("bucket="));
    EXPECT_EQ(configured(), R"(object head ""/-)");
    client.setObjectAcl({{"key", "k"}, {"bucket", "b"}, {"acl", AclMap{{"READ", {"id=o-1"}}}}});
    EXPECT_EQ(configured(), R"(object setAcl "b"/"k" | x-amz-grant-read: id="o-1")");
    client.setObjectMeta(
        {{"meta", StringMap{{"color", "blue"}}}, {"bucket", "b"}, {"key", "k"}, {"acl", AclMap{}}});
    EXPECT_EQ(
        configured(),
        R"(object setMeta "b"/"k" | x-amz-copy-source: /b/k | x-amz-metadata-directive: REPLACE | x-amz-meta-color: blue)");
}

ValueMap changed(ValueMap map, const std::string& key, std::optional<Value> value) {
    map[key] = std::move(value);
    return map;
}

// A parameter map that cannot be sent as it is: nothing is configured or sent, and failed alone
// is called, on the library's thread, with the first problem.
TEST(Operations, AMisusedMapSendsNothingAndFailsOnce) {
    test::TransportGuard transport;
    test::ObservedQuilo client("AK", "SK");
    int configured = 0;
    client.beforeConfiguring = [&](const auto&) { ++configured; };
    const auto misuse = [&]<class R>(void (Quilo::*operation)(const ValueMap&, Callbacks<R>),
                                     const ValueMap& param) {
        Outcome<R> outcome;
        (client.*operation)(param, outcome.callbacks());
        if (!outcome.waitForEnd() || outcome.calls().size() != 1 ||
            outcome.count(Event::failed) != 1 ||
            outcome.calls()[0].thread == std::this_thread::get_id())
            return outcome.summary();
        const Error& error = *outcome.request()->error();
        return error.kind == ErrorKind::misuse && error.code == "InvalidParameter"
                   ? error.message
                   : error.description();
    };
    const ValueMap listing = {
        {"bucket", "b"}, {"maxKeys", 100}, {"prefix", "p"}, {"delimiter", "/"}, {"marker", ""}};
    const auto list = &Quilo::listObjects;
    ValueMap noPrefix = listing;
    noPrefix.erase("prefix");
    EXPECT_EQ(misuse(list, noPrefix), R"(listObjects: "prefix" is missing)");
    EXPECT_EQ(misuse(list, changed(listing, "bucket", std::nullopt)),
              R"(listObjects: "bucket" has no value)");
    EXPECT_EQ(misuse(list, changed(listing, "maxKeys", "100")),
              R"(listObjects: "maxKeys" must hold an int32, but holds a string)");
    EXPECT_EQ(misuse(list, changed(listing, "maxKeys", std::int64_t{100})),
              R"(listObjects: "maxKeys" must hold an int32, but holds an int64)");
    EXPECT_EQ(misuse(list, changed(listing, "maxKeys", 100.0)),
              R"(listObjects: "maxKeys" must hold an int32, but holds a double)");
    EXPECT_EQ(
        misuse(&Quilo::setBucketAcl, {{"acl", StringMap{{"READ", "uri=x"}}}, {"bucket", "b"}}),
        R"(setBucketAcl: "acl" must hold an AclMap, but holds a StringMap)");
    EXPECT_EQ(misuse(&Quilo::setObjectMeta, {{"meta", AclMap{}}, {"bucket", "b"}, {"key", "k"}}),
              R"(setObjectMeta: "meta" must hold a StringMap, but holds an AclMap)");
    EXPECT_EQ(configured, 0);
    EXPECT_EQ(transport->performed().size(), 0u);
}

}  // namespace
}  // namespace quilo
