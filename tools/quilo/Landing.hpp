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
//
// Only a doubled slash before a name that starts with a byte below '/' ("m//.git/x") lists
// after the path it saves at, past every name of "m/" that starts so. Once many paths wait for
// such a range, its keys are listed ahead, a page at most, and taken out of the listing's turn,
// so that the paths below ".git" wait for nothing. A range of more than a page is not listed
// ahead and its paths wait as they must: a bucket that merely holds many such keys costs
// memory rather than a refused run.
class Landings {
  public:
    // The first page is read at once, so that a listing refused is known before anything else.
    Landings(RemoteListing& listing, const Filter& filter, const S3Url& folder, Summary& summary);
    // The local side, if any; before the first next().
    void beside(LocalWalk& walk);
    // Nullopt after the last, or once the listing failed.
    std::optional<Landing> next();
    bool failed() const { return failed_ || listing_.failed(); }

  private:
    void step();
    void take(TreeEntry entry, bool remote);
    Landing& at(const std::string& path);
    std::optional<std::string> waitsFor(const std::string& path) const;
    bool listedAhead(const std::string& key) const;
    void listAhead(const std::string& range);

    RemoteListing& listing_;
    const Filter& filter_;
    const S3Url& folder_;
    Summary& summary_;
    LocalWalk* walk_ = nullptr;
    std::optional<TreeEntry> remote_{}, local_{};
    std::map<std::string, Landing> held_{};
    std::set<std::pair<std::string, std::string>> bounds_{};  // (bound, path) of each held
    std::string taken_{};                                     // the listing's last key taken
    std::map<std::string, bool> ranges_{};  // listed ahead, or found too large to be
    std::optional<std::string> ahead_{};    // to list ahead before the next step
    bool failed_ = false;                   // a listing ahead
};

}  // namespace quilo::cli
