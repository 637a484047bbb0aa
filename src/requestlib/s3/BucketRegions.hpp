#pragma once

#include <optional>
#include <string>

namespace quilo::detail {

// The regions services named for buckets, by host and bucket, for the whole process: once a
// bucket's region is known, its requests go straight there. Safe from any thread.
class BucketRegions {
  public:
    static std::optional<std::string> find(const std::string& host, const std::string& bucket);
    static void remember(const std::string& host, const std::string& bucket, std::string region);
    static void clear();
};

}  // namespace quilo::detail
