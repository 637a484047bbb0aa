#pragma once

// Blocking helpers over the facade for the bucket, listing and key tests.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "quilo/quilo.hpp"
#include "support/Outcome.hpp"
#include "support/Servers.hpp"

namespace quilo::test {

// How one operation ended.
template <class R>
struct Ended {
    std::shared_ptr<R> request;
    int finished = 0;
    int failed = 0;
    std::string summary;

    bool ok() const { return finished == 1 && failed == 0; }
    // The error of a failure that ended exactly once, else a default one that matches nothing.
    Error error() const {
        if (finished == 0 && failed == 1 && request && request->error())
            return *request->error();
        return Error{ErrorKind::transport, "<no single failure: " + summary + ">", "", -1, ""};
    }
};

template <class R>
Ended<R> ended(const Outcome<R>& outcome, std::chrono::milliseconds grace) {
    if (!outcome.waitForEnd(std::chrono::seconds(60), grace))
        ADD_FAILURE() << "the operation did not end: " << outcome.summary();
    return Ended<R>{outcome.request(), outcome.count(Event::finished), outcome.count(Event::failed),
                    outcome.summary()};
}

// Starts an operation with recording callbacks and waits for it:
//     auto made = call<QuiloBucketRequest>([&](auto cb) { client.createBucket(name, cb); });
template <class R>
Ended<R> call(const std::function<void(Callbacks<R>)>& start,
              std::chrono::milliseconds grace = std::chrono::milliseconds(10)) {
    Outcome<R> outcome;
    start(outcome.callbacks());
    return ended(outcome, grace);
}

template <class R>
Ended<R> transfer(const std::function<void(TransferCallbacks<R>)>& start,
                  std::chrono::milliseconds grace = std::chrono::milliseconds(10)) {
    Outcome<R> outcome;
    start(outcome.transferCallbacks());
    return ended(outcome, grace);
}

using BucketEnded = Ended<QuiloBucketRequest>;
using ObjectEnded = Ended<QuiloObjectRquest>;

inline BucketEnded listPage(Quilo& client, const std::string& bucket, std::int32_t maxKeys,
                            const std::string& prefix = "", const std::string& delimiter = "",
                            const std::string& marker = "") {
    const ValueMap param{{"bucket", bucket},
                         {"maxKeys", maxKeys},
                         {"prefix", prefix},
                         {"delimiter", delimiter},
                         {"marker", marker}};
    return call<QuiloBucketRequest>(
        [&](Callbacks<QuiloBucketRequest> cb) { client.listObjects(param, cb); },
        std::chrono::milliseconds(0));
}

struct Listing {
    std::vector<S3Object> objects;
    std::vector<std::string> prefixes;
    int pages = 0;
    bool complete = false;  // every page came and the last one was not truncated

    std::vector<std::string> keys() const {
        std::vector<std::string> out;
        for (const auto& object : objects)
            out.push_back(object.key);
        return out;
    }
};

// Every page of a listing, each starting at the previous page's nextMarker().
inline Listing listAll(Quilo& client, const std::string& bucket, std::int32_t maxKeys,
                       const std::string& prefix = "", const std::string& delimiter = "") {
    Listing listing;
    std::string marker;
    for (int guard = 0; guard < 1000; ++guard) {
        const auto page = listPage(client, bucket, maxKeys, prefix, delimiter, marker);
        if (!page.ok()) {
            ADD_FAILURE() << "page " << listing.pages << " after \"" << marker
                          << "\" failed: " << page.summary;
            return listing;
        }
        ++listing.pages;
        const auto& request = *page.request;
        listing.objects.insert(listing.objects.end(), request.objects().begin(),
                               request.objects().end());
        listing.prefixes.insert(listing.prefixes.end(), request.commonPrefixes().begin(),
                                request.commonPrefixes().end());
        if (!request.isTruncated()) {
            listing.complete = true;
            return listing;
        }
        if (request.nextMarker().empty() || request.nextMarker() <= marker) {
            ADD_FAILURE() << "a truncated page gives no marker past \"" << marker << "\": \""
                          << request.nextMarker() << "\"";
            return listing;
        }
        marker = request.nextMarker();
    }
    ADD_FAILURE() << "the listing does not end";
    return listing;
}

inline ObjectEnded upload(Quilo& client, const std::string& bucket, const std::string& key,
                          const std::string& filePath) {
    return transfer<QuiloObjectRquest>([&](TransferCallbacks<QuiloObjectRquest> cb) {
        client.uploadObject({{"filePath", filePath}, {"bucket", bucket}, {"key", key}}, cb);
    });
}

// The object's bytes, kept in memory.
inline ObjectEnded download(Quilo& client, const std::string& bucket, const std::string& key) {
    return transfer<QuiloObjectRquest>([&](TransferCallbacks<QuiloObjectRquest> cb) {
        client.downloadObject({{"bucket", bucket}, {"key", key}}, cb);
    });
}

inline ObjectEnded copy(Quilo& client, const std::string& srcBucket, const std::string& srcKey,
                        const std::string& desBucket, const std::string& desKey) {
    return call<QuiloObjectRquest>([&](Callbacks<QuiloObjectRquest> cb) {
        client.copyObject({{"srcBucket", srcBucket},
                           {"srcKey", srcKey},
                           {"desBucket", desBucket},
                           {"desKey", desKey}},
                          cb);
    });
}

inline ObjectEnded remove(Quilo& client, const std::string& bucket, const std::string& key) {
    return call<QuiloObjectRquest>([&](Callbacks<QuiloObjectRquest> cb) {
        client.deleteObject({{"bucket", bucket}, {"key", key}}, cb);
    });
}

// A key for a failure message: long ones are cut short.
inline std::string shown(const std::string& key) {
    if (key.size() <= 60)
        return "\"" + key + "\"";
    std::size_t cut = 40;
    while (cut > 0 && (static_cast<unsigned char>(key[cut]) & 0xC0) == 0x80)
        --cut;  // not inside a UTF-8 sequence
    return "\"" + key.substr(0, cut) + "...\" (" + std::to_string(key.size()) + " bytes)";
}

// Empty when `actual` is `expected`; else the keys missing, those not expected, or that only
// the order differs.
inline std::string keyDifference(const std::vector<std::string>& actual,
                                 const std::vector<std::string>& expected) {
    if (actual == expected)
        return {};
    std::string text;
    for (const auto& key : expected) {
        if (std::count(actual.begin(), actual.end(), key) != 1)
            text += "\n  not listed once: " + shown(key);
    }
    for (const auto& key : actual) {
        if (std::find(expected.begin(), expected.end(), key) == expected.end())
            text += "\n  not expected: " + shown(key);
    }
    return text.empty() ? "the same keys in another order" : text;
}

// (key, size) of every object as awscli lists it, in its order. awscli pages by itself.
inline std::vector<std::pair<std::string, std::uint64_t>> awsListing(const Server& server,
                                                                     const std::string& bucket,
                                                                     int pageSize = 1000) {
    const auto listed = aws(
        server, {"s3api", "list-objects", "--bucket", bucket, "--page-size",
                 std::to_string(pageSize), "--query", "Contents[].[Key,Size]", "--output", "text"});
    EXPECT_EQ(listed.exitCode, 0) << listed.err;
    std::vector<std::pair<std::string, std::uint64_t>> out;
    std::istringstream lines(listed.out);
    std::string line;
    while (std::getline(lines, line)) {
        const auto tab = line.rfind('\t');
        if (line == "None" || tab == std::string::npos)
            continue;  // an empty bucket
        out.emplace_back(line.substr(0, tab), std::stoull(line.substr(tab + 1)));
    }
    return out;
}

// A directory of its own under the system's temporary directory, removed with the object.
class TempDir {
  public:
    TempDir() {
        static std::atomic<int> serial{0};
        path_ = std::filesystem::temp_directory_path() /
                ("quilo-it-" + std::to_string(::getpid()) + "-" + std::to_string(++serial));
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Writes `content` to a file of this directory and returns its path.
    std::string file(const std::string& name, const std::string& content) const {
        const auto path = path_ / name;
        std::ofstream(path, std::ios::binary) << content;
        return path.string();
    }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// A bucket made through the facade for one test and emptied and removed with it, through the
// facade too and, should that leave anything behind, through awscli.
class ScratchBucket {
  public:
    ScratchBucket(Quilo& client, Server server, const std::string& prefix)
        : client_(client), server_(std::move(server)), name_(uniqueBucketName(prefix)) {
        const auto made = call<QuiloBucketRequest>(
            [&](Callbacks<QuiloBucketRequest> cb) { client_.createBucket(name_, cb); });
        EXPECT_TRUE(made.ok()) << name_ << ": " << made.summary;
    }
    ~ScratchBucket() {
        const auto listing = listAll(client_, name_, 1000);
        std::vector<Outcome<QuiloObjectRquest>> removals(listing.objects.size());
        for (std::size_t i = 0; i < removals.size(); ++i)
            client_.deleteObject({{"bucket", name_}, {"key", listing.objects[i].key}},
                                 removals[i].callbacks());
        for (const auto& removal : removals)
            removal.waitForEnd(std::chrono::seconds(60), {});
        const auto removed = call<QuiloBucketRequest>(
            [&](Callbacks<QuiloBucketRequest> cb) { client_.deleteBucket(name_, cb); });
        if (!removed.ok())
            aws(server_, {"s3", "rb", "--force", "s3://" + name_});
    }
    ScratchBucket(const ScratchBucket&) = delete;
    ScratchBucket& operator=(const ScratchBucket&) = delete;

    const std::string& name() const { return name_; }

  private:
    Quilo& client_;
    Server server_;
    std::string name_;
};

struct ServerCase {
    const char* name;
    Server (*server)();
};

inline void PrintTo(const ServerCase& c, std::ostream* out) {
    *out << c.name;
}

inline std::string serverCaseName(const ::testing::TestParamInfo<ServerCase>& info) {
    return info.param.name;
}

}  // namespace quilo::test
