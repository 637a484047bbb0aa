// put, get and rm of files and objects named one by one.
#include <filesystem>
#include <set>

#include "Commands.hpp"
#include "Output.hpp"
#include "Summary.hpp"
#include "Transfers.hpp"

namespace quilo::cli {

namespace fs = std::filesystem;

namespace {

int run(const std::vector<Transfer>& transfers, const TransferOptions& options = {}) {
    Summary summary;
    const bool ok = runTransfers(transfers, options, summary);
    summary.finish();
    return ok ? 0 : exitFailure;
}

}  // namespace

int put(const std::vector<std::string>& arguments, const std::optional<std::string>& acl) {
    const std::vector<std::string> files(arguments.begin(), arguments.end() - 1);
    const S3Url destination = parseS3Url(arguments.back());
    const bool intoPrefix = destination.key.empty() || destination.key.ends_with('/');
    if (files.size() > 1 && !intoPrefix) {
        throw UsageError("several files go into a bucket or a prefix ending in '/', not into " +
                         destination.text());
    }
    std::vector<Transfer> transfers;
    for (const auto& file : files) {
        if (isS3Url(file)) {
            throw UsageError("put uploads local files; copy " + file + " with cp");
        }
        if (baseName(file).empty() || fs::is_directory(file)) {
            throw UsageError("'" + file + "' names a directory: upload it with put -r");
        }
        std::error_code error;
        const auto size = fs::file_size(file, error);
        transfers.push_back(
            {.kind = Transfer::Kind::upload,
             .local = file,
             .remote = {destination.bucket,
                        intoPrefix ? destination.key + baseName(file) : destination.key},
             .size = error ? 0 : size});
    }
    return run(transfers, {.acl = acl});
}

int get(const std::vector<std::string>& arguments) {
    const std::string& destination = arguments.back();
    if (isS3Url(destination)) {
        throw UsageError("get downloads to a local path; copy to " + destination + " with cp");
    }
    const bool intoDirectory = destination.ends_with('/') || fs::is_directory(destination);
    if (intoDirectory && !fs::is_directory(destination)) {
        throw UsageError("directory " + destination + " does not exist");
    }
    if (arguments.size() > 2 && !intoDirectory) {
        throw UsageError("several objects go into an existing directory, not into " + destination);
    }
    std::vector<Transfer> transfers;
    std::set<std::string> taken;
    for (auto argument = arguments.begin(); argument + 1 != arguments.end(); ++argument) {
        const S3Url source = parseObjectUrl(*argument);
        const auto path =
            intoDirectory ? (fs::path(destination) / baseName(source.key)).string() : destination;
        if (!taken.insert(path).second) {
            throw UsageError("two objects would both be saved as " + path);
        }
        transfers.push_back({.kind = Transfer::Kind::download, .local = path, .remote = source});
    }
    return run(transfers);
}

int remove(const std::vector<std::string>& urls) {
    std::vector<Transfer> transfers;
    for (const auto& text : urls) {
        transfers.push_back({.kind = Transfer::Kind::remove, .remote = parseObjectUrl(text)});
    }
    return run(transfers);
}

}  // namespace quilo::cli
