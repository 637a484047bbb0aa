#pragma once

// Blocking helpers for the end-to-end tests: run an operation to its end and check how it ended,
// and keep a folder and buckets of the test's own on a real server.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "quilo/quilo.hpp"
#include "support/Outcome.hpp"
#include "support/RequestWatch.hpp"
#include "support/Servers.hpp"
#include "support/SharedState.hpp"

namespace quilo::test {

using ObjectEnded = Outcome<QuiloObjectRquest>;

// Runs an operation with recording callables and waits for its end, then a moment longer so
// that a wrong second call shows:
//     op(client, &Quilo::deleteObject, {{"bucket", bucket}, {"key", key}})
template <class R, class Arg, template <class> class Set>
Outcome<R> run(Quilo& client, void (Quilo::*operation)(const Arg&, Set<R>), const Arg& arg) {
    Outcome<R> outcome;
    if constexpr (std::is_same_v<Set<R>, TransferCallbacks<R>>)
        (client.*operation)(arg, outcome.transferCallbacks());
    else
        (client.*operation)(arg, outcome.callbacks());
    EXPECT_TRUE(outcome.waitForEnd(std::chrono::seconds(300), std::chrono::milliseconds(10)))
        << "the operation did not end: " << outcome.summary();
    return outcome;
}
// One for each form of callables' operation, so that an operation's overloaded name picks it.
template <class Arg, class R>
using Form = void (Quilo::*)(const Arg&, Callbacks<R>);
inline auto op(Quilo& c, Form<std::string, QuiloBucketRequest> o, const std::string& a) {
    return run(c, o, a);
}
inline auto op(Quilo& c, Form<ValueMap, QuiloBucketRequest> o, const ValueMap& a) {
    return run(c, o, a);
}
inline auto op(Quilo& c, Form<StringMap, QuiloObjectRquest> o, const StringMap& a) {
    return run(c, o, a);
}
inline auto op(Quilo& c, Form<ValueMap, QuiloObjectRquest> o, const ValueMap& a) {
    return run(c, o, a);
}
inline auto op(Quilo& c, void (Quilo::*o)(const StringMap&, TransferCallbacks<QuiloObjectRquest>),
               const StringMap& a) {
    return run(c, o, a);
}

inline Outcome<QuiloServiceRequest> listBuckets(Quilo& client) {
    Outcome<QuiloServiceRequest> outcome;
    client.listBuckets(outcome.callbacks());
    EXPECT_TRUE(outcome.waitForEnd(std::chrono::seconds(60), std::chrono::milliseconds(10)));
    return outcome;
}

// failed called once and finished never, with an error of `kind`, `httpStatus` (0: no answer
// came; any when negative) and, unless empty, `code`.
template <class R>
::testing::AssertionResult failedOnce(const Outcome<R>& outcome, ErrorKind kind, int httpStatus = 0,
                                      const std::string& code = "") {
    const auto request = outcome.request();
    if (outcome.count(Event::failed) != 1 || outcome.count(Event::finished) != 0 || !request ||
        !request->error())
        return ::testing::AssertionFailure() << "not one failure: " << outcome.summary();
    const Error& error = *request->error();
    if (error.kind != kind || (httpStatus >= 0 && error.httpStatus != httpStatus) ||
        (!code.empty() && error.code != code))
        return ::testing::AssertionFailure()
               << "expected " << toString(kind) << " " << code << " (HTTP " << httpStatus
               << "), got " << error.description() << " (HTTP " << error.httpStatus << ")";
    return ::testing::AssertionSuccess();
}

inline ObjectEnded upload(Quilo& client, const std::string& bucket, const std::string& key,
                          const std::string& file) {
    return op(client, &Quilo::uploadObject, {{"bucket", bucket}, {"key", key}, {"filePath", file}});
}
// Into `destination`, or into responseData() without one.
inline ObjectEnded download(Quilo& client, const std::string& bucket, const std::string& key,
                            const std::string& destination = "") {
    StringMap param{{"bucket", bucket}, {"key", key}};
    if (!destination.empty())
        param["downloadDestinationPath"] = destination;
    return op(client, &Quilo::downloadObject, param);
}
inline ObjectEnded copy(Quilo& client, const std::string& srcBucket, const std::string& srcKey,
                        const std::string& desBucket, const std::string& desKey) {
    return op(client, &Quilo::copyObject,
              {{"srcBucket", srcBucket},
               {"srcKey", srcKey},
               {"desBucket", desBucket},
               {"desKey", desKey}});
}

struct Listing {
    std::vector<S3Object> objects;
    std::vector<std::string> keys, prefixes;
    int pages = 0;
};

// Every page, as ObjectPages walks them.
inline Listing listAll(Quilo& client, const std::string& bucket, std::int32_t maxKeys,
                       const std::string& prefix = "", const std::string& delimiter = "") {
    Listing listing;
    const ListObjectsArgs args{
        .bucket = bucket, .prefix = prefix, .delimiter = delimiter, .maxKeys = maxKeys};
    for (const auto& page : ObjectPages(client, args)) {
        if (page->error()) {
            ADD_FAILURE() << "page " << listing.pages + 1 << ": " << page->error()->description();
            break;
        }
        ++listing.pages;
        for (const auto& object : page->objects()) {
            listing.keys.push_back(object.key);
            listing.objects.push_back(object);
        }
        listing.prefixes.insert(listing.prefixes.end(), page->commonPrefixes().begin(),
                                page->commonPrefixes().end());
    }
    return listing;
}

// Lines, in order, so that two listings compare whatever order each printed them in; awscli's
// "None" for an empty list is none. A line listed twice counts twice.
inline std::multiset<std::string> lines(const std::string& text) {
    std::multiset<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line != "None")
            out.insert(line);
    return out;
}

// Fields joined by tabs, as awscli prints them in text.
inline std::string line(std::initializer_list<std::string> fields) {
    std::string out;
    for (const auto& field : fields)
        out.append(out.empty() ? "" : "\t").append(field);
    return out + "\n";
}

// The lines of every page of a listing: `next(page, param, out)` writes a page's lines to `out`,
// sets in `param` where the next page starts, and says whether there is one.
template <class R, class Next>
std::multiset<std::string> walk(Quilo& client, Form<ValueMap, R> listing, ValueMap param,
                                Next next) {
    std::string out;
    for (int page = 0; page < 50; ++page) {
        const auto listed = op(client, listing, param);
        if (!listed.ok()) {
            ADD_FAILURE() << listed.summary();
            return lines(out);
        }
        if (!next(*listed.request(), param, out))
            return lines(out);
    }
    ADD_FAILURE() << "the listing does not end";
    return lines(out);
}
// One per typed request, so that the callables' form is picked out of each operation's overloads.
template <class Next>
auto pages(Quilo& c, Form<ValueMap, QuiloBucketRequest> listing, ValueMap param, Next next) {
    return walk(c, listing, std::move(param), next);
}
template <class Next>
auto pages(Quilo& c, Form<ValueMap, QuiloObjectRquest> listing, ValueMap param, Next next) {
    return walk(c, listing, std::move(param), next);
}

// awscli's standard output; it must succeed.
inline std::string awsOut(const Server& server, const std::vector<std::string>& args) {
    const auto result = aws(server, args);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return result.out;
}

// (key, size) of every object as awscli lists it, `pageSize` to a request.
inline std::vector<std::pair<std::string, std::uint64_t>> awsListing(const Server& server,
                                                                     const std::string& bucket,
                                                                     int pageSize = 1000) {
    std::istringstream lines(awsOut(server, {"s3api", "list-objects", "--bucket", bucket,
                                             "--page-size", std::to_string(pageSize), "--query",
                                             "Contents[].[Key,Size]", "--output", "text"}));
    std::vector<std::pair<std::string, std::uint64_t>> out;
    for (std::string line; std::getline(lines, line);) {
        const auto tab = line.rfind('\t');
        if (tab != std::string::npos)  // "None" for an empty bucket
            out.emplace_back(line.substr(0, tab), std::stoull(line.substr(tab + 1)));
    }
    return out;
}

// One test's server, folder and buckets. The shared client points at the server until the end,
// when the buckets are emptied and removed (by awscli when the library cannot).
struct Scratch {
    explicit Scratch(Server s) : server(std::move(s)) {
        useServer(server);
        addBucket();
    }
    ~Scratch() {
        for (const auto& bucket : buckets) {
            removeVersions(bucket);
            for (const auto& key : listAll(client, bucket, 1000).keys)
                op(client, &Quilo::deleteObject, {{"bucket", bucket}, {"key", key}});
            if (!op(client, &Quilo::deleteBucket, bucket).ok())
                aws(server, {"s3", "rb", "--force", "s3://" + bucket});
        }
    }
    // Deletes one version for good: "finished", or how it failed (see RequestWatch).
    std::string removeVersion(const std::string& bucket, const std::string& key,
                              const std::string& version, bool bypassGovernance) {
        auto remove =
            S3ObjectRequest::requestWithBucket(bucket, key, S3ObjectRequest::Operation::remove);
        remove->setVersionId(version);
        if (bypassGovernance)
            remove->addRequestHeader("x-amz-bypass-governance-retention", "true");
        client.configureRequest(remove);
        return RequestWatch(*remove).run(*remove);
    }
    // Every version and delete marker: a bucket that kept versions cannot go before. Where none
    // are listed (s3rver keeps none), nothing happens.
    void removeVersions(const std::string& bucket) {
        const auto listed = op(client, &Quilo::listObjectVersions, {{"bucket", bucket}});
        for (const auto& version :
             listed.ok() ? listed.request()->versions() : std::vector<S3ObjectVersion>{})
            removeVersion(bucket, version.key, version.versionId, true);
    }
    // awscli's s3api `command` on the first bucket: its text, without the last line break.
    std::string s3api(const std::string& command, std::vector<std::string> args) const {
        args.insert(args.begin(), {"s3api", command, "--bucket", bucket()});
        args.insert(args.end(), {"--output", "text"});
        auto out = awsOut(server, args);
        if (out.ends_with('\n'))
            out.pop_back();
        return out;
    }
    std::string addBucket() {
        buckets.push_back(uniqueBucketName(server.name));
        const auto made = op(client, &Quilo::createBucket, buckets.back());
        EXPECT_TRUE(made.ok()) << buckets.back() << ": " << made.summary();
        return buckets.back();
    }
    const std::string& bucket() const { return buckets.front(); }
    std::string file(const std::string& name, const std::string& content) const {
        return folder.file(name, content);
    }

    SharedStateGuard restore;  // first, to keep the settings from before; it makes this uncopyable
    Server server;
    Quilo& client = *Quilo::sharedInstance();
    TempDir folder;
    const std::filesystem::path& dir = folder.path();
    std::vector<std::string> buckets;
};

class BothServers : public ::testing::TestWithParam<std::string> {
  protected:
    Scratch s_{GetParam() == "rgw" ? rgw() : GetParam() == "s3rver" ? s3rver() : rgwVirtual()};
};
#define QUILO_ON_BOTH_SERVERS(Suite)                                             \
    INSTANTIATE_TEST_SUITE_P(Servers, Suite, ::testing::Values("rgw", "s3rver"), \
                             [](const auto& info) { return info.param; })

}  // namespace quilo::test
