#pragma once

// Blocking helpers over the facade for the integration tests of buckets, objects and listings.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "integration/Blocking.hpp"
#include "quilo/quilo.hpp"
#include "support/Outcome.hpp"
#include "support/Servers.hpp"
#include "support/SharedState.hpp"

namespace quilo::test {

// How one operation ended, with every callable call it made.
template <class R>
struct Ended {
    Outcome<R> outcome;
    std::shared_ptr<R> request;

    bool ok() const {
        return outcome.count(Event::finished) == 1 && outcome.count(Event::failed) == 0;
    }
    std::string summary() const { return outcome.summary(); }
};
using BucketEnded = Ended<QuiloBucketRequest>;
using ObjectEnded = Ended<QuiloObjectRquest>;

// Exactly one failure, of this kind, code (any when empty) and HTTP status (0: none came; any
// when negative).
template <class R>
::testing::AssertionResult failedWith(const Ended<R>& ended, ErrorKind kind,
                                      const std::string& code, int httpStatus) {
    return failedOnce(ended.outcome, kind, httpStatus, code);
}

// Runs one operation and waits for its end; the short grace lets a wrong second call show:
//     op(client, &Quilo::deleteObject, {{"bucket", bucket}, {"key", key}})
template <class R, class Arg, template <class> class Set>
Ended<R> op(Quilo& client, void (Quilo::*operation)(const Arg&, Set<R>),
            const std::type_identity_t<Arg>& arg,
            std::chrono::seconds timeout = std::chrono::seconds(60)) {
    auto outcome = ended<R>(
        [&](Outcome<R>& o) {
            if constexpr (std::is_same_v<Set<R>, TransferCallbacks<R>>)
                (client.*operation)(arg, o.transferCallbacks());
            else
                (client.*operation)(arg, o.callbacks());
        },
        timeout);
    return {outcome, outcome.request()};
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
    return op(client, &Quilo::downloadObject, param, std::chrono::seconds(300));
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
    std::vector<std::string> keys;
    std::vector<std::string> prefixes;
    std::vector<S3Object> objects;
    int pages = 0;
};

// Every page, each asked for from the previous page's nextMarker().
inline Listing listAll(Quilo& client, const std::string& bucket, std::int32_t maxKeys,
                       const std::string& prefix = "", const std::string& delimiter = "") {
    Listing listing;
    for (std::string marker; listing.pages < 1000; ++listing.pages) {
        const auto page = op(client, &Quilo::listObjects,
                             {{"bucket", bucket},
                              {"maxKeys", maxKeys},
                              {"prefix", prefix},
                              {"delimiter", delimiter},
                              {"marker", marker}});
        if (!page.ok()) {
            ADD_FAILURE() << "the page after \"" << marker << "\": " << page.summary();
            return listing;
        }
        for (const auto& object : page.request->objects()) {
            listing.keys.push_back(object.key);
            listing.objects.push_back(object);
        }
        for (const auto& common : page.request->commonPrefixes())
            listing.prefixes.push_back(common);
        if (!page.request->isTruncated()) {
            ++listing.pages;
            return listing;
        }
        if (page.request->nextMarker() <= marker) {
            ADD_FAILURE() << "a truncated page gives no marker past \"" << marker << "\"";
            return listing;
        }
        marker = page.request->nextMarker();
    }
    ADD_FAILURE() << "the listing does not end";
    return listing;
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
            for (const auto& key : listAll(client, bucket, 1000).keys)
                op(client, &Quilo::deleteObject, {{"bucket", bucket}, {"key", key}});
            if (!op(client, &Quilo::deleteBucket, bucket).ok())
                aws(server, {"s3", "rb", "--force", "s3://" + bucket});
        }
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
    Scratch s_{GetParam() == "rgw" ? rgw() : s3rver()};
};
inline auto bothServers() {
    return ::testing::Values("rgw", "s3rver");
}
inline std::string serverName(const ::testing::TestParamInfo<std::string>& info) {
    return info.param;
}

}  // namespace quilo::test
