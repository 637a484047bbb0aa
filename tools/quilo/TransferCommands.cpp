// put and get: several files at once, at most --jobs of them running, under one progress bar.
#include <filesystem>
#include <iostream>
#include <set>

#include <quilo/quilo.hpp>

#include "Batch.hpp"
#include "Commands.hpp"
#include "Output.hpp"
#include "Progress.hpp"
#include "S3Url.hpp"

namespace quilo::cli {

namespace fs = std::filesystem;

namespace {

// Runs the batch under a bar named after the one file, or counting the files as they end.
bool waitWithBar(Batch& batch, std::size_t count, const std::string& single,
                 const std::function<void(const Batch::Item&)>& reportDone) {
    const auto counted = [count](std::size_t ended) {
        return std::to_string(ended) + "/" + std::to_string(count) + " files";
    };
    ProgressBar bar(count == 1 ? single : counted(0));
    std::size_t ended = 0;
    return batch.wait(
        [&](const Batch::Item& item) {
            if (count > 1) {
                bar.setLabel(counted(++ended));
            }
            if (item.ok) {
                reportDone(item);
            }
        },
        &bar);
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
    std::vector<S3Url> targets;
    for (const auto& file : files) {
        if (isS3Url(file)) {
            throw UsageError("put uploads local files; copy " + file + " with cp");
        }
        if (baseName(file).empty()) {
            throw UsageError("'" + file + "' names a directory, not a file");
        }
        targets.push_back(
            {destination.bucket, intoPrefix ? destination.key + baseName(file) : destination.key});
    }

    Batch batch;
    for (std::size_t i = 0; i < files.size(); ++i) {
        std::error_code error;
        const auto size = fs::is_regular_file(files[i], error) ? fs::file_size(files[i], error) : 0;
        const auto index = batch.add("put " + files[i], error ? 0 : size);
        StringMap param{
            {"filePath", files[i]}, {"bucket", targets[i].bucket}, {"key", targets[i].key}};
        if (acl) {
            param["accessPolicy"] = *acl;
        }
        Quilo::sharedInstance()->uploadObject(param,
                                              batch.transferCallbacks<QuiloObjectRquest>(index));
    }
    const bool ok = waitWithBar(batch, files.size(), baseName(files[0]), [&](const auto& item) {
        std::cout << "upload: " << files[item.index] << " to " << targets[item.index].text()
                  << '\n';
    });
    return ok ? 0 : exitFailure;
}

int get(const std::vector<std::string>& arguments) {
    std::vector<S3Url> sources;
    for (auto argument = arguments.begin(); argument + 1 != arguments.end(); ++argument) {
        sources.push_back(parseObjectUrl(*argument));
    }
    const std::string& destination = arguments.back();
    if (isS3Url(destination)) {
        throw UsageError("get downloads to a local path; copy to " + destination + " with cp");
    }
    const bool intoDirectory = destination.ends_with('/') || fs::is_directory(destination);
    if (intoDirectory && !fs::is_directory(destination)) {
        throw UsageError("directory " + destination + " does not exist");
    }
    if (sources.size() > 1 && !intoDirectory) {
        throw UsageError("several objects go into an existing directory, not into " + destination);
    }
    std::vector<std::string> paths;
    std::set<std::string> taken;
    for (const auto& source : sources) {
        paths.push_back(intoDirectory ? (fs::path(destination) / baseName(source.key)).string()
                                      : destination);
        if (!taken.insert(paths.back()).second) {
            throw UsageError("two objects would both be saved as " + paths.back());
        }
    }

    Batch batch;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        const auto index = batch.add("get " + sources[i].text());
        Quilo::sharedInstance()->downloadObject({{"bucket", sources[i].bucket},
                                                 {"key", sources[i].key},
                                                 {"downloadDestinationPath", paths[i]}},
                                                batch.transferCallbacks<QuiloObjectRquest>(index));
    }
    const bool ok =
        waitWithBar(batch, sources.size(), baseName(sources[0].key), [&](const auto& item) {
            std::cout << "download: " << sources[item.index].text() << " to " << paths[item.index]
                      << '\n';
        });
    return ok ? 0 : exitFailure;
}

}  // namespace quilo::cli
