// ls of the buckets, mb and rb.
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
        buckets.push_back(parseBucketUrl(text));
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
