// ls, mb and rb.
#include <iomanip>
#include <iostream>

#include <quilo/quilo.hpp>

#include "Batch.hpp"
#include "Commands.hpp"
#include "Output.hpp"
#include "S3Url.hpp"
#include "Summary.hpp"
#include "ToolClient.hpp"

namespace quilo::cli {

namespace {

std::vector<S3Url> parseBuckets(const std::vector<std::string>& urls) {
    std::vector<S3Url> buckets;
    for (const auto& text : urls) {
        buckets.push_back(parseS3Url(text));
        if (!buckets.back().key.empty()) {
            throw UsageError("'" + text + "' names an object, not a bucket (s3://bucket)");
        }
    }
    return buckets;
}

// The same call on several buckets at once; one line per bucket done.
template <class Operation>
int onEachBucket(const std::vector<std::string>& urls, const char* action, Operation operation) {
    const auto buckets = parseBuckets(urls);
    Quilo& quilo = client();
    Batch batch;
    for (const auto& bucket : buckets) {
        const auto index = batch.add(action, {bucket.text()});
        operation(quilo, bucket.bucket, batch.callbacks<QuiloBucketRequest>(index));
    }
    Summary summary;
    const bool ok = batch.wait(
        [&](std::size_t, const Batch::Item& item) {
            if (item.ok) {
                summary.done(action, item.subjects.front());
            }
        },
        nullptr, &summary);
    summary.finish();
    return ok ? 0 : exitFailure;
}

// One page of a listing, prefixes and objects merged in key order as the service sorts them.
void printPage(const QuiloBucketRequest& page) {
    const auto& prefixes = page.commonPrefixes();
    const auto& objects = page.objects();
    auto prefix = prefixes.begin();
    auto object = objects.begin();
    while (prefix != prefixes.end() || object != objects.end()) {
        if (object == objects.end() || (prefix != prefixes.end() && *prefix < object->key)) {
            std::cout << std::setw(33) << "PRE"
                      << "  " << escaped(*prefix++) << '\n';
        } else {
            std::cout << std::setw(19) << std::left << shortDate(object->lastModified) << std::right
                      << "  " << std::setw(12) << object->size << "  " << escaped(object->key)
                      << '\n';
            ++object;
        }
    }
}

// The same page for the JSON document.
void addPage(const QuiloBucketRequest& page, nlohmann::ordered_json& document) {
    for (const auto& prefix : page.commonPrefixes()) {
        document["prefixes"].push_back(escaped(prefix));
    }
    for (const auto& object : page.objects()) {
        document["objects"].push_back({{"key", escaped(object.key)},
                                       {"size", object.size},
                                       {"lastModified", escaped(object.lastModified)},
                                       {"etag", escaped(object.etag)}});
    }
}

}  // namespace

int listBuckets() {
    Quilo& quilo = client();
    const auto request = await<QuiloServiceRequest>(
        "ls", "buckets", [&](auto callbacks) { quilo.listBuckets(callbacks); });
    if (!request) {
        return exitFailure;
    }
    auto buckets = nlohmann::ordered_json::array();
    for (const auto& bucket : request->buckets()) {
        if (outputMode().json) {
            buckets.push_back(
                {{"name", escaped(bucket.name)}, {"created", escaped(bucket.creationDate)}});
        } else {
            std::cout << shortDate(bucket.creationDate) << "  " << escaped(bucket.name) << '\n';
        }
    }
    if (outputMode().json) {
        printJson({{"buckets", buckets}});
    }
    return 0;
}

int listObjects(const std::string& text, const std::string& delimiter, std::int32_t pageSize) {
    nlohmann::ordered_json document{{"objects", nlohmann::ordered_json::array()},
                                    {"prefixes", nlohmann::ordered_json::array()}};
    const bool json = outputMode().json;
    const bool ok = forEachPage(parseS3Url(text), delimiter, pageSize, [&](const auto& page) {
        json ? addPage(page, document) : printPage(page);
    });
    if (ok && json) {
        printJson(document);
    }
    return ok ? 0 : exitFailure;
}

int makeBuckets(const std::vector<std::string>& urls) {
    return onEachBucket(urls, "make_bucket", [](Quilo& quilo, const auto& bucket, auto done) {
        quilo.createBucket(bucket, done);
    });
}

int removeBuckets(const std::vector<std::string>& urls) {
    return onEachBucket(urls, "remove_bucket", [](Quilo& quilo, const auto& bucket, auto done) {
        quilo.deleteBucket(bucket, done);
    });
}

}  // namespace quilo::cli
