// ls, mb and rb.
#include <iomanip>
#include <iostream>

#include <quilo/quilo.hpp>

#include "Batch.hpp"
#include "Commands.hpp"
#include "Output.hpp"
#include "S3Url.hpp"

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
int onEachBucket(const std::vector<std::string>& urls, const char* verb, const char* done,
                 Operation operation) {
    const auto buckets = parseBuckets(urls);
    Batch batch;
    for (const auto& bucket : buckets) {
        const auto index = batch.add(verb + (" " + bucket.text()));
        operation(*Quilo::sharedInstance(), bucket.bucket,
                  batch.callbacks<QuiloBucketRequest>(index));
    }
    const bool ok = batch.wait([&](const Batch::Item& item) {
        if (item.ok) {
            std::cout << done << ' ' << buckets[item.index].text() << '\n';
        }
    });
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
                      << "  " << *prefix++ << '\n';
        } else {
            std::cout << std::setw(19) << std::left << shortDate(object->lastModified) << std::right
                      << "  " << std::setw(12) << object->size << "  " << object->key << '\n';
            ++object;
        }
    }
}

}  // namespace

int listBuckets() {
    const auto request = await<QuiloServiceRequest>(
        "ls", [](auto callbacks) { Quilo::sharedInstance()->listBuckets(callbacks); });
    if (!request) {
        return exitFailure;
    }
    for (const auto& bucket : request->buckets()) {
        std::cout << shortDate(bucket.creationDate) << "  " << bucket.name << '\n';
    }
    return 0;
}

int listObjects(const std::string& text, const std::string& delimiter, std::int32_t pageSize) {
    const S3Url url = parseS3Url(text);
    std::string marker;
    for (;;) {
        const ValueMap param{{"bucket", url.bucket},
                             {"maxKeys", pageSize},
                             {"prefix", url.key},
                             {"delimiter", delimiter},
                             {"marker", marker}};
        const auto page = await<QuiloBucketRequest>("ls " + text, [&](auto callbacks) {
            Quilo::sharedInstance()->listObjects(param, callbacks);
        });
        if (!page) {
            return exitFailure;
        }
        printPage(*page);
        if (!page->isTruncated()) {
            return 0;
        }
        // A marker that does not move would page forever.
        if (page->nextMarker().empty() || page->nextMarker() == marker) {
            printFailure("ls " + text, "the listing did not move past '" + marker + "'");
            return exitFailure;
        }
        marker = page->nextMarker();
    }
}

int makeBuckets(const std::vector<std::string>& urls) {
    return onEachBucket(urls, "mb",
                        "make_bucket:", [](Quilo& quilo, const auto& bucket, auto done) {
                            quilo.createBucket(bucket, done);
                        });
}

int removeBuckets(const std::vector<std::string>& urls) {
    return onEachBucket(urls, "rb",
                        "remove_bucket:", [](Quilo& quilo, const auto& bucket, auto done) {
                            quilo.deleteBucket(bucket, done);
                        });
}

}  // namespace quilo::cli
