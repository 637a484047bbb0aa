#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
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

// The pages of a listing of `url`'s key as prefix, one at a time, following the markers; from
// the first key after `after`, if given.
class Pages {
  public:
    Pages(S3Url url, std::string delimiter, std::int32_t pageSize, std::string after = {})
        : url_(std::move(url)),
          delimiter_(std::move(delimiter)),
          pageSize_(pageSize),
          marker_(std::move(after)) {}
    // The next page; null after the last, or when a request failed or the listing did not move
    // on (reported on stderr, and failed() from then on).
    std::shared_ptr<QuiloBucketRequest> next();
    bool failed() const { return failed_; }
    const S3Url& url() const { return url_; }

  private:
    S3Url url_;
    std::string delimiter_;
    std::int32_t pageSize_;
    std::string marker_;
    bool over_ = false;
    bool failed_ = false;
};

// A file of a tree and its path: see Tree.
using TreeEntry = std::pair<std::string, TreeFile>;

// A listed object as a file, by its key past the folder's `folderKey`, which it starts with.
TreeEntry listedEntry(const S3Object& object, std::string_view folderKey);

// The objects under a folder, one at a time in the order of their keys, by their paths below
// it: a page is asked for only once the one before has been taken. A key outside the folder is
// reported to `summary` and left out. The service gives them in the byte order of their keys;
// a listing told to rely on that fails at a key not above the one before, since a merge would
// take what it skipped for missing.
class RemoteListing {
  public:
    RemoteListing(const S3Url& folder, Summary& summary, bool ordered = false)
        : pages_(folder, "", 1000), summary_(summary), ordered_(ordered) {}
    // Nullopt after the last, or once the listing failed.
    std::optional<TreeEntry> next();
    bool failed() const { return pages_.failed() || wentBack_; }

  private:
    Pages pages_;
    Summary& summary_;
    bool ordered_;
    bool wentBack_ = false;
    std::optional<std::string> last_{};
    std::shared_ptr<QuiloBucketRequest> page_{};
    std::size_t at_ = 0;
};

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

// "2024-05-01T10:20:30.123Z", or with an offset ("+02:00"), as milliseconds since the epoch;
// nullopt when it is not that form.
std::optional<std::int64_t> parseTimestamp(std::string_view iso8601);

}  // namespace quilo::cli
