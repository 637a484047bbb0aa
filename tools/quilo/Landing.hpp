#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Tree.hpp"

namespace quilo::cli {

class LocalWalk;
class Summary;

// A local path, with the keys that would be saved there and the file already there.
struct Landing {
    std::string path;
    std::vector<TreeFile> keys{};  // each with its key below the folder; more than one meet
    std::optional<TreeFile> local{};
    bool needed = false;  // as a directory, by keys saved below it
};

// The objects of a listing by the local paths their keys map to (see localPath), beside the
// local walk, without holding either side. Keys do not map in order ("m//n" lists before
// "m/-x" but saves after it), so each path is held back only until no key still to come can be
// saved at it or below it, which the order of the listing tells; then it comes out once, with
// all that meets there. Folder markers and keys the filter leaves out are passed over; a key
// with a "." or ".." segment is reported to `summary` instead.
class Landings {
  public:
    // The first page is read at once, so that a listing refused is known before anything else.
    Landings(RemoteListing& listing, const Filter& filter, const S3Url& folder, Summary& summary);
    // The local side, if any; before the first next().
    void beside(LocalWalk& walk);
    // Nullopt after the last, or once the listing failed.
    std::optional<Landing> next();
    bool failed() const { return listing_.failed(); }

  private:
    void step();
    void take(TreeEntry entry, bool remote);
    Landing& at(const std::string& path);

    RemoteListing& listing_;
    const Filter& filter_;
    const S3Url& folder_;
    Summary& summary_;
    LocalWalk* walk_ = nullptr;
    std::optional<TreeEntry> remote_{}, local_{};
    std::map<std::string, Landing> held_{};
    std::set<std::pair<std::string, std::string>> bounds_{};  // (bound, path) of each held
};

}  // namespace quilo::cli
