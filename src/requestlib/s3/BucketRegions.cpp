#include "requestlib/s3/BucketRegions.hpp"

#include <map>
#include <mutex>
#include <utility>

#include "requestlib/base/Text.hpp"

namespace quilo::detail {
namespace {

// An application that visits ever new buckets must not grow the table without end; a forgotten
// region costs one more answer from the service.
constexpr std::size_t kMaxBuckets = 4096;

std::mutex gMutex;
std::map<std::pair<std::string, std::string>, std::string> gRegions;

// Host names are case-blind, bucket names are not.
std::pair<std::string, std::string> keyOf(const std::string& host, const std::string& bucket) {
    return {toLower(host), bucket};
}

}  // namespace

std::optional<std::string> BucketRegions::find(const std::string& host, const std::string& bucket) {
    auto key = keyOf(host, bucket);
    std::lock_guard lock(gMutex);
    const auto found = gRegions.find(key);
    return found == gRegions.end() ? std::nullopt : std::optional(found->second);
}

void BucketRegions::remember(const std::string& host, const std::string& bucket,
                             std::string region) {
    auto key = keyOf(host, bucket);
    std::lock_guard lock(gMutex);
    if (gRegions.size() >= kMaxBuckets && !gRegions.contains(key))
        gRegions.clear();
    gRegions.insert_or_assign(std::move(key), std::move(region));
}

void BucketRegions::clear() {
    std::lock_guard lock(gMutex);
    gRegions.clear();
}

}  // namespace quilo::detail
