// put -r, get -r, rm -r and sync: whole trees, decided from one listing of each side.
#include <filesystem>

#include "Checksums.hpp"
#include "Commands.hpp"
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

bool wanted(const Tree::value_type& file, const Tree& target, const TreeOptions& options) {
    const auto found = target.find(file.first);
    return found == target.end() || !options.sync || differs(file.second, found->second, options);
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
// paths, so that neither side is held: each path comes once. A listing that goes back would
// make a file there look missing on one side: it fails the merge.
class Merge {
  public:
    Merge(LocalWalk& walk, RemoteListing* listing) : walk_(walk), listing_(listing) {}
    // Nullopt after the last, or once the listing failed.
    std::optional<Pair> next();
    bool failed() const { return failed_; }

  private:
    std::optional<TreeEntry> pull();

    LocalWalk& walk_;
    RemoteListing* listing_;  // null: nothing there
    std::optional<TreeEntry> local_{}, remote_{};
    std::optional<std::string> last_{};
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
    if (!entry) {
        failed_ = failed_ || (listing_ && listing_->failed());
        return std::nullopt;
    }
    if (last_ && entry->first <= *last_) {
        printFailure("ls", "the listing went back from '" + escaped(*last_) + "' to '" +
                               escaped(entry->first) + "'");
        failed_ = true;
        return std::nullopt;
    }
    last_ = entry->first;
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
        listing.emplace(folder, summary);
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

// The objects the filters take, by the local paths their keys map to. A key that maps to none,
// or to the same path as another, is reported instead; such a path stays, keyless, so that
// nothing is downloaded to it or deleted from it.
Tree mapped(const S3Url& folder, const Tree& remote, const Filter& filter, Summary& summary) {
    std::map<std::string, std::vector<Tree::const_iterator>> byPath;
    for (auto file = remote.begin(); file != remote.end(); ++file) {
        if (isMarker(file->first) || !filter.accepts(file->first)) {
            continue;
        }
        if (const auto path = localPath(file->first)) {
            byPath[*path].push_back(file);
        } else {
            summary.failed("download", S3Url{folder.bucket, folder.key + file->first}.text(),
                           "refused: its name below " + folder.text() + " holds a . or .. segment");
        }
    }
    Tree tree;
    for (const auto& [path, files] : byPath) {
        TreeFile& file = tree[path];
        if (files.size() == 1) {
            file = files.front()->second;
            file.key = files.front()->first;
            continue;
        }
        for (const auto& meeting : files) {
            summary.failed(
                "download", S3Url{folder.bucket, folder.key + meeting->first}.text(),
                "refused: " + std::to_string(files.size()) + " keys would be saved as " + path);
        }
    }
    return tree;
}

// The downloads that go ahead; keys that another needs as a directory are reported instead.
std::vector<Transfer> downloads(const S3Url& folder, const Tree& remote, const Tree& local,
                                const std::string& directory, const LocalDirectory* root,
                                const TreeOptions& options, Summary& summary) {
    std::vector<Transfer> transfers;
    const auto clashes = clashingPaths(remote);
    for (const auto& file : remote) {
        const auto& [path, object] = file;
        if (object.key.empty() || !wanted(file, local, options)) {
            continue;
        }
        const S3Url source{folder.bucket, folder.key + object.key};
        if (clashes.contains(path)) {
            summary.failed("download", source.text(),
                           "refused: other keys need " + path + "/ as a directory");
            continue;
        }
        transfers.push_back({.kind = Transfer::Kind::download,
                             .local = (fs::path(directory) / path).string(),
                             .remote = source,
                             .size = object.size,
                             .modifiedMs = object.modifiedMs,
                             .tree = root,
                             .relative = path});
    }
    return transfers;
}

// The local side's links are never followed: nothing outside the directory is written or
// removed, and nothing behind a link is compared.
int down(const S3Url& folder, const std::string& directory, const TreeOptions& options) {
    if (fs::exists(directory) && !fs::is_directory(directory)) {
        throw UsageError(directory + " is not a directory");
    }
    Summary summary(options.dryRun);
    const auto remote = remoteTree(folder, summary);
    if (!remote) {
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
    LocalTree local = options.sync && root ? root->walk(false, summary) : LocalTree{};
    const Tree objects = mapped(folder, *remote, options.filter, summary);
    if (options.checksum && root) {
        compareContents(*root, local.files, objects);
    }
    const LocalDirectory* at = root ? &*root : nullptr;
    auto transfers = downloads(folder, objects, local.files, directory, at, options, summary);
    for (const auto& [path, file] : local.files) {
        if (options.deleteExtra && !objects.contains(path) && options.filter.accepts(path)) {
            transfers.push_back({.kind = Transfer::Kind::removeLocal,
                                 .local = root->shown(path),
                                 .tree = at,
                                 .relative = path});
        }
    }
    return finish(summary, runTransfers(transfers, options.transfers(), summary));
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
