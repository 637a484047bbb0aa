#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <quilo/quilo.hpp>

#include "S3Url.hpp"

namespace quilo::cli {

class Summary;

// A file of a tree, local or in a bucket, as its listing tells it.
struct TreeFile {
    std::uint64_t size = 0;
    std::optional<std::int64_t> modifiedMs{};  // since the epoch; none when it could not be read
    std::string key{};  // where a listing is mapped to local paths: the key's path below its folder
    std::string etag{};                 // an object's
    std::optional<bool> sameContent{};  // a local file's, once held against its object's ETag
};
// The files of a tree by their paths relative to its root, '/'-separated: "photos/cat.jpg".
using Tree = std::map<std::string, TreeFile>;

// Every object under `folder`, from all the pages of its listing; nullopt when a listing
// failed (reported on stderr). A key outside the folder is reported to `summary` and left out.
std::optional<Tree> remoteTree(const S3Url& folder, Summary& summary);

// Calls `page` with each page of a listing of `url`'s key as prefix, following the markers.
// False when a request failed or the listing did not move on (reported on stderr).
bool forEachPage(const S3Url& url, const std::string& delimiter, std::int32_t pageSize,
                 const std::function<void(const QuiloBucketRequest&)>& page);

// --exclude and --include: glob patterns (fnmatch, '*' crossing '/') against the path relative
// to the tree's root. The last pattern that matches decides; a path no pattern matches is in.
class Filter {
  public:
    void add(bool include, std::string pattern) {
        rules_.emplace_back(include, std::move(pattern));
    }
    bool accepts(const std::string& path) const;

  private:
    std::vector<std::pair<bool, std::string>> rules_;
};

// The local path for a key's path below its folder, as awscli maps it: empty segments go
// ("a//b" is "a/b", "/a" is "a"). None when a "." or ".." segment leaves nothing safe.
std::optional<std::string> localPath(std::string_view path);
// The paths of a tree that other paths need as a directory: "a" when "a/b" is there too.
std::set<std::string> clashingPaths(const Tree& tree);

// "2024-05-01T10:20:30.123Z", or with an offset ("+02:00"), as milliseconds since the epoch;
// nullopt when it is not that form.
std::optional<std::int64_t> parseTimestamp(std::string_view iso8601);

}  // namespace quilo::cli
