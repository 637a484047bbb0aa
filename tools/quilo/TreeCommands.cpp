// put -r, get -r, rm -r and sync: whole trees, decided from one listing of each side.
#include <filesystem>

#include "Checksums.hpp"
#include "Commands.hpp"
#include "Landing.hpp"
#include "LocalDirectory.hpp"
#include "Output.hpp"
#include "Summary.hpp"
#include "Transfers.hpp"

namespace quilo::cli {

namespace fs = std::filesystem;

namespace {

// Whether sync copies a file that both sides have: a size that differs, or a source modified
// later than the target, to the millisecond, as listings give it and the files downloaded from
// them take it. A time that could not be read counts as different.
bool differs(const TreeFile& source, const TreeFile& target, const TreeOptions& options) {
    if (source.size != target.size) {
        return true;
    }
    // With --checksum, the local side knows whether the bytes are the same, if it could tell.
    if (const auto same = source.sameContent ? source.sameContent : target.sameContent) {
        return !*same;
    }
    return !options.sizeOnly &&
           (!source.modifiedMs || !target.modifiedMs || *source.modifiedMs > *target.modifiedMs);
}

// Folder marker keys ("photos/") stand for no file.
bool isMarker(const std::string& path) {
    return path.empty() || path.ends_with('/');
}

// A path of a tree, and what each side holds at it.
struct Pair {
    std::string path;
    std::optional<TreeFile> local, remote;
};

// The local walk and the listing of a folder side by side, both in the byte order of their
// paths, so that neither side is held: each path comes once.
class Merge {
  public:
    Merge(LocalWalk& walk, RemoteListing* listing) : walk_(walk), listing_(listing) {}
    // Nullopt after the last, or once the listing failed.
    std::optional<Pair> next();
    bool failed() const { return failed_; }

  private:
    std::optional<TreeEntry> pull();

    LocalWalk& walk_;
    RemoteListing* listing_;  // null: nothing there, else one that fails when it goes back
    std::optional<TreeEntry> local_{}, remote_{};
    bool started_ = false;
    bool failed_ = false;
};

std::optional<Pair> Merge::next() {
    if (!std::exchange(started_, true)) {
        local_ = walk_.next();
        remote_ = pull();
    }
    if (failed_ || (!local_ && !remote_)) {
        return std::nullopt;
    }
    const bool local = local_ && (!remote_ || local_->first <= remote_->first);
    const bool remote = remote_ && (!local_ || remote_->first <= local_->first);
    Pair pair{local ? local_->first : remote_->first, std::nullopt, std::nullopt};
    if (local) {
        pair.local = std::move(local_->second);
        local_ = walk_.next();
    }
    if (remote) {
        pair.remote = std::move(remote_->second);
        remote_ = pull();
    }
    return pair;
}

std::optional<TreeEntry> Merge::pull() {
    auto entry = listing_ ? listing_->next() : std::nullopt;
    failed_ = failed_ || (!entry && listing_ && listing_->failed());
    return entry;
}

// What sync or put -r does for one path: upload the file, delete an object no file stands for,
// or nothing. What the walk could not see may be there: it is never deleted.
std::optional<Transfer> upward(Pair& pair, const LocalDirectory& root, const LocalWalk& walk,
                               const S3Url& folder, const TreeOptions& options) {
    const S3Url remote{folder.bucket, folder.key + pair.path};
    if (!pair.local) {
        if (options.deleteExtra && !isMarker(pair.path) && !walk.unread().mayHold(pair.path) &&
            options.filter.accepts(pair.path)) {
            return Transfer{.kind = Transfer::Kind::remove, .remote = remote};
        }
        return std::nullopt;
    }
    if (!options.filter.accepts(pair.path)) {
        return std::nullopt;
    }
    if (pair.remote && options.checksum) {
        compareContent(root, pair.path, *pair.local, *pair.remote);
    }
    if (pair.remote && options.sync && !differs(*pair.local, *pair.remote, options)) {
        return std::nullopt;
    }
    // Links followed on the walk are followed again; otherwise none is.
    return Transfer{.kind = Transfer::Kind::upload,
                    .local = root.shown(pair.path),
                    .remote = remote,
                    .size = pair.local->size,
                    .tree = options.followSymlinks ? nullptr : &root,
                    .relative = pair.path};
}

int up(const std::string& directory, const S3Url& folder, const TreeOptions& options) {
    const LocalDirectory root(directory);
    Summary summary(options.dryRun);
    LocalWalk walk(root, options.followSymlinks, summary);
    std::optional<RemoteListing> listing;
    if (options.sync) {
        listing.emplace(folder, summary, true);
    }
    Merge merge(walk, listing ? &*listing : nullptr);
    const auto next = [&]() -> std::optional<Transfer> {
        while (auto pair = merge.next()) {
            if (auto transfer = upward(*pair, root, walk, folder, options)) {
                return transfer;
            }
        }
        return std::nullopt;
    };
    const bool ran = runTransfers(next, options.transfers(), summary);
    return finish(summary, ran && !merge.failed());
}

// What sync or get -r does for one local path: download the one key saved there, remove a file
// no key stands for, or nothing. Keys that meet at a path, or that other keys need as a
// directory, are reported instead, and keep the path from --delete.
std::optional<Transfer> downward(Landing& landing, const S3Url& folder,
                                 const std::string& directory, const LocalDirectory* root,
                                 const TreeOptions& options, Summary& summary) {
    const auto& path = landing.path;
    const auto source = [&](const TreeFile& file) {
        return S3Url{folder.bucket, folder.key + file.key};
    };
    if (landing.keys.empty()) {
        if (landing.local && options.deleteExtra && options.filter.accepts(path)) {
            return Transfer{.kind = Transfer::Kind::removeLocal,
                            .local = root->shown(path),
                            .tree = root,
                            .relative = path};
        }
        return std::nullopt;
    }
    if (landing.keys.size() > 1) {
        for (const auto& meeting : landing.keys) {
            summary.failed("download", source(meeting).text(),
                           "refused: " + std::to_string(landing.keys.size()) +
                               " keys would be saved as " + path);
        }
        return std::nullopt;
    }
    const TreeFile& object = landing.keys.front();
    if (landing.local && options.checksum && root) {
        compareContent(*root, path, *landing.local, object);
    }
    if (landing.local && options.sync && !differs(object, *landing.local, options)) {
        return std::nullopt;
    }
    if (landing.needed) {
        summary.failed("download", source(object).text(),
                       "refused: other keys need " + path + "/ as a directory");
        return std::nullopt;
    }
    return Transfer{.kind = Transfer::Kind::download,
                    .local = (fs::path(directory) / path).string(),
                    .remote = source(object),
                    .size = object.size,
                    .modifiedMs = object.modifiedMs,
                    .tree = root,
                    .relative = path};
}

// The local side's links are never followed: nothing outside the directory is written or
// removed, and nothing behind a link is compared. The listing's first page comes before the
// directory is made, so that a listing refused makes nothing.
int down(const S3Url& folder, const std::string& directory, const TreeOptions& options) {
    if (fs::exists(directory) && !fs::is_directory(directory)) {
        throw UsageError(directory + " is not a directory");
    }
    Summary summary(options.dryRun);
    RemoteListing listing(folder, summary, true);
    Landings landings(listing, options.filter, folder, summary);
    if (landings.failed()) {
        return finish(summary, false);
    }
    std::error_code error;
    if (!options.dryRun && (fs::create_directories(directory, error), error)) {
        summary.failed("download", folder.text(), directory + ": " + error.message());
        return finish(summary, false);
    }
    // A dry run into a directory yet to be made has nothing there.
    std::optional<LocalDirectory> root;
    if (fs::is_directory(directory)) {
        root.emplace(directory);
    }
    std::optional<LocalWalk> walk;
    if (options.sync && root) {
        walk.emplace(*root, false, summary);
        landings.beside(*walk);
    }
    const LocalDirectory* at = root ? &*root : nullptr;
    const auto next = [&]() -> std::optional<Transfer> {
        while (auto landing = landings.next()) {
            if (auto transfer = downward(*landing, folder, directory, at, options, summary)) {
                return transfer;
            }
        }
        return std::nullopt;
    };
    const bool ran = runTransfers(next, options.transfers(), summary);
    return finish(summary, ran && !landings.failed());
}

}  // namespace

int putTree(const std::string& directory, const std::string& url, const TreeOptions& options) {
    return up(directory, parseS3Url(url).folder(), options);
}

int getTree(const std::string& url, const std::string& directory, const TreeOptions& options) {
    if (isS3Url(directory)) {
        throw UsageError("get -r downloads into a local directory, not into " + directory);
    }
    return down(parseS3Url(url).folder(), directory, options);
}

// Deletes go as the listing's pages come, a thousand keys a request.
int removeTree(const std::string& url, const TreeOptions& options) {
    const S3Url folder = parseS3Url(url).folder();
    Summary summary(options.dryRun);
    RemoteListing listing(folder, summary);
    const auto next = [&]() -> std::optional<Transfer> {
        while (auto object = listing.next()) {
            if (options.filter.accepts(object->first)) {
                return Transfer{.kind = Transfer::Kind::remove,
                                .remote = {folder.bucket, folder.key + object->first}};
            }
        }
        return std::nullopt;
    };
    const bool ran = runTransfers(next, {.dryRun = options.dryRun}, summary);
    return finish(summary, ran && !listing.failed());
}

int sync(const std::string& source, const std::string& destination, TreeOptions options) {
    options.sync = true;
    if (isS3Url(source) == isS3Url(destination)) {
        throw UsageError("sync goes from a directory to s3://bucket/prefix or back");
    }
    return isS3Url(source) ? down(parseS3Url(source).folder(), destination, options)
                           : up(source, parseS3Url(destination).folder(), options);
}

}  // namespace quilo::cli
