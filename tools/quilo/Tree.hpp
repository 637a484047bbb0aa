#pragma once

#include <cstdint>
#include <filesystem>
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
    std::int64_t modifiedMs = 0;  // milliseconds since the epoch
};
// The files of a tree by their paths relative to its root, '/'-separated: "photos/cat.jpg".
using Tree = std::map<std::string, TreeFile>;

// The regular files under `root`: empty directories add nothing, and symbolic links are skipped
// unless followed (a link back to a directory above is then skipped and reported). Directories
// that cannot be read are reported to `summary`.
Tree localTree(const std::filesystem::path& root, bool followSymlinks, Summary& summary);

// Every object under `folder`, from all the pages of its listing; nullopt when a listing
// failed (reported on stderr).
std::optional<Tree> remoteTree(const S3Url& folder);

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

// Why a key's path below its folder cannot be a file below a local directory (it starts with
// '/' or holds an empty, "." or ".." segment), or empty when it can.
std::string_view unsafePath(std::string_view path);
// The paths of a tree that other paths need as a directory: "a" when "a/b" is there too.
std::set<std::string> clashingPaths(const Tree& tree);
// Makes the directories above `path` below `root`, refusing to go through anything but a real
// directory (a symbolic link could lead outside `root`). `checked` keeps those already seen.
// Returns why it could not, or empty.
std::string makeParents(const std::filesystem::path& root, const std::string& path,
                        std::set<std::string>& checked);

// "2024-05-01T10:20:30.123Z" as milliseconds since the epoch; nullopt when it is not that form.
std::optional<std::int64_t> parseTimestamp(std::string_view iso8601);
// Sets a file's modification time; false when it could not.
bool setModified(const std::string& path, std::int64_t modifiedMs);

}  // namespace quilo::cli
