// put -r, get -r, rm -r and sync: whole trees, decided from one listing of each side.
#include <filesystem>

#include "Commands.hpp"
#include "Output.hpp"
#include "Summary.hpp"
#include "Transfers.hpp"

namespace quilo::cli {

namespace fs = std::filesystem;

namespace {

// Whether sync copies a file that both sides have: a size that differs, or a source modified in
// a later second than the target. Seconds, because listings may drop the fraction.
bool differs(const TreeFile& source, const TreeFile& target, const TreeOptions& options) {
    const auto seconds = [](std::int64_t ms) { return ms >= 0 ? ms / 1000 : (ms - 999) / 1000; };
    return source.size != target.size ||
           (!options.sizeOnly && seconds(source.modifiedMs) > seconds(target.modifiedMs));
}

bool wanted(const Tree::value_type& file, const Tree& target, const TreeOptions& options) {
    const auto found = target.find(file.first);
    return found == target.end() || !options.sync || differs(file.second, found->second, options);
}

// Folder marker keys ("photos/") stand for no file.
bool isMarker(const std::string& path) {
    return path.empty() || path.ends_with('/');
}

int finish(Summary& summary, bool ok) {
    summary.finish();
    return ok && !summary.anyFailed() ? 0 : exitFailure;
}

int up(const std::string& directory, const S3Url& folder, const TreeOptions& options) {
    if (!fs::is_directory(directory)) {
        throw UsageError(directory + " is not a directory");
    }
    Summary summary(options.dryRun);
    std::optional<Tree> remote = Tree{};
    if (options.sync && !(remote = remoteTree(folder))) {
        return finish(summary, false);
    }
    const Tree local = localTree(directory, options.followSymlinks, summary);
    std::vector<Transfer> transfers;
    for (const auto& file : local) {
        if (options.filter.accepts(file.first) && wanted(file, *remote, options)) {
            transfers.push_back({.kind = Transfer::Kind::upload,
                                 .local = (fs::path(directory) / file.first).string(),
                                 .remote = {folder.bucket, folder.key + file.first},
                                 .size = file.second.size});
        }
    }
    for (const auto& [path, object] : *remote) {
        if (options.deleteExtra && !isMarker(path) && !local.contains(path) &&
            options.filter.accepts(path)) {
            transfers.push_back(
                {.kind = Transfer::Kind::remove, .remote = {folder.bucket, folder.key + path}});
        }
    }
    return finish(summary, runTransfers(transfers, {options.acl, options.dryRun}, summary));
}

// The downloads that go ahead; keys that cannot be saved safely are reported instead.
std::vector<Transfer> downloads(const S3Url& folder, const Tree& remote, const Tree& local,
                                const fs::path& directory, const TreeOptions& options,
                                Summary& summary) {
    std::vector<Transfer> transfers;
    const auto clashes = clashingPaths(remote);
    std::set<std::string> checked;
    for (const auto& file : remote) {
        const auto& [path, object] = file;
        if (isMarker(path) || !options.filter.accepts(path) || !wanted(file, local, options)) {
            continue;
        }
        const S3Url source{folder.bucket, folder.key + path};
        std::string problem(unsafePath(path));
        if (!problem.empty()) {
            problem = "refused: its name below " + folder.text() + " " + problem;
        } else if (clashes.contains(path)) {
            problem = "refused: other keys need " + path + "/ as a directory";
        } else if (!options.dryRun) {
            problem = makeParents(directory, path, checked);
        }
        if (!problem.empty()) {
            summary.failed("download", source.text(), problem);
            continue;
        }
        transfers.push_back({.kind = Transfer::Kind::download,
                             .local = (directory / path).string(),
                             .remote = source,
                             .size = object.size,
                             .modifiedMs = object.modifiedMs});
    }
    return transfers;
}

int down(const S3Url& folder, const std::string& directory, const TreeOptions& options) {
    if (fs::exists(directory) && !fs::is_directory(directory)) {
        throw UsageError(directory + " is not a directory");
    }
    Summary summary(options.dryRun);
    const auto remote = remoteTree(folder);
    if (!remote) {
        return finish(summary, false);
    }
    std::error_code error;
    if (!options.dryRun && (fs::create_directories(directory, error), error)) {
        summary.failed("download", folder.text(), directory + ": " + error.message());
        return finish(summary, false);
    }
    Tree local;
    if (options.sync && fs::is_directory(directory)) {
        local = localTree(directory, options.followSymlinks, summary);
    }
    auto transfers = downloads(folder, *remote, local, directory, options, summary);
    for (const auto& [path, file] : local) {
        if (options.deleteExtra && !remote->contains(path) && options.filter.accepts(path)) {
            transfers.push_back({.kind = Transfer::Kind::removeLocal,
                                 .local = (fs::path(directory) / path).string()});
        }
    }
    return finish(summary, runTransfers(transfers, {.dryRun = options.dryRun}, summary));
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

int removeTree(const std::string& url, const TreeOptions& options) {
    const S3Url folder = parseS3Url(url).folder();
    Summary summary(options.dryRun);
    const auto remote = remoteTree(folder);
    if (!remote) {
        return finish(summary, false);
    }
    std::vector<Transfer> transfers;
    for (const auto& [path, object] : *remote) {
        if (options.filter.accepts(path)) {
            transfers.push_back(
                {.kind = Transfer::Kind::remove, .remote = {folder.bucket, folder.key + path}});
        }
    }
    return finish(summary, runTransfers(transfers, {.dryRun = options.dryRun}, summary));
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
