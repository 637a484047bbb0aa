// put, get, cat and rm of files and objects named one by one.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <thread>

#include "Commands.hpp"
#include "LocalDirectory.hpp"
#include "Output.hpp"
#include "Summary.hpp"
#include "Transfers.hpp"

namespace quilo::cli {

namespace fs = std::filesystem;

namespace {

int run(const std::vector<Transfer>& transfers, const TransferOptions& options = {},
        Summary summary = Summary()) {
    const bool ok = runTransfers(transfers, options, summary);
    summary.finish();
    return ok ? 0 : exitFailure;
}

// Copies what comes from `from` to standard output until its writers close it, or standard
// output fails; closing `from` then fails the writer's next write. The kernel moves the bytes
// (splice) where standard output takes that, sparing a copy through this process.
void copyToStandardOutput(Descriptor from) {
    for (ssize_t moved = 0;;) {
        while ((moved = ::splice(from.get(), nullptr, STDOUT_FILENO, nullptr, 1 << 20,
                                 SPLICE_F_MOVE | SPLICE_F_MORE)) < 0 &&
               errno == EINTR) {
        }
        if (moved < 0 && errno == EPIPE) {
            readerGone();
        }
        if (moved < 0 && errno == EINVAL) {
            break;  // a terminal, or a file opened for appending: copied below
        }
        if (moved <= 0) {
            return;
        }
    }
    char block[1 << 16];
    for (ssize_t got = 0, put = 0, n = 0;; put = 0) {
        while ((got = ::read(from.get(), block, sizeof block)) < 0 && errno == EINTR) {
        }
        for (; got > 0 && put < got; put += n) {
            while ((n = ::write(STDOUT_FILENO, block + put, static_cast<std::size_t>(got - put))) <
                       0 &&
                   errno == EINTR) {
            }
            if (n < 0 && errno == EPIPE) {
                readerGone();
            }
            if (n <= 0) {
                return;
            }
        }
        if (got <= 0) {
            return;
        }
    }
}

// The object, streamed into `path`, and nothing else on standard output.
int download(const S3Url& source, const std::string& path, const TransferOptions& options) {
    outputMode().quiet = true;
    Summary summary;
    summary.endQuietlyWithoutReader();
    return run({{.kind = Transfer::Kind::download, .local = path, .remote = source}}, options,
               std::move(summary));
}

// `get s3://bucket/key -`: the object on standard output, in order as it comes, whatever that
// is. A pipe or a device (a terminal, /dev/null) takes it straight from the download. Anything
// else (a file, perhaps opened for appending, which a download would replace) takes it through
// a pipe of ours, which a thread copies there.
int getToStandardOutput(const std::vector<std::string>& arguments, const TransferOptions& options) {
    if (arguments.size() != 2) {
        throw UsageError("- takes the bytes of one object");
    }
    const S3Url source = parseObjectUrl(arguments.front());
    struct stat out {};
    if (::fstat(STDOUT_FILENO, &out) == 0 && (S_ISFIFO(out.st_mode) || S_ISCHR(out.st_mode))) {
        ::fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 1 << 20);  // as below; a device stays as it is
        return download(source, "/proc/self/fd/" + std::to_string(STDOUT_FILENO), options);
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("cannot make a pipe: ") + std::strerror(errno));
    }
    // A pipe as large as the system allows takes the network's bursts without a switch to the
    // copier for every 64 KiB; the default size stays when it cannot grow.
    ::fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);
    Descriptor reading(ends[0]);
    std::jthread copier;  // joined once `writing` is closed, however this ends
    Descriptor writing(ends[1]);
    copier = std::jthread(copyToStandardOutput, std::move(reading));
    return download(source, "/proc/self/fd/" + std::to_string(writing.get()), options);
}

// Standard input, made ready to stream. Its parts wait in memory until sent, one more than go
// at once: fewer go at once when they are large, so that a stream of any length takes about as
// much memory as a file's upload. A pipe as large as the system allows lets the writer run ahead
// without a switch to this process every 64 KiB (the default size stays when it cannot grow).
void readyStandardInput() {
    constexpr std::uint64_t budget = 32u << 20;
    const auto held = budget / S3ObjectRequest::multipartPartSize();
    const auto most = static_cast<std::uint64_t>(S3ObjectRequest::multipartConcurrency());
    S3ObjectRequest::setMultipartConcurrency(
        static_cast<int>(std::clamp<std::uint64_t>(held > 0 ? held - 1 : 0, 1, most)));
    ::fcntl(STDIN_FILENO, F_SETPIPE_SZ, 1 << 20);
}

}  // namespace

int put(const std::vector<std::string>& arguments, const TransferOptions& options) {
    const std::vector<std::string> files(arguments.begin(), arguments.end() - 1);
    const S3Url destination = parseS3Url(arguments.back());
    const bool intoPrefix = destination.key.empty() || destination.key.ends_with('/');
    if (files.size() > 1 && !intoPrefix) {
        throw UsageError("several files go into a bucket or a prefix ending in '/', not into " +
                         destination.text());
    }
    std::vector<Transfer> transfers;
    for (const auto& file : files) {
        if (file == standardInput) {
            if (files.size() > 1 || intoPrefix) {
                throw UsageError("- uploads standard input to one key: put - s3://bucket/key");
            }
            readyStandardInput();
            transfers.push_back(
                {.kind = Transfer::Kind::upload, .local = file, .remote = destination});
            continue;
        }
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
    return run(transfers, options);
}

int get(const std::vector<std::string>& arguments, const TransferOptions& options) {
    const std::string& destination = arguments.back();
    if (destination == "-" && options.move) {
        throw UsageError("mv cannot check what it wrote to standard output: cat, then rm");
    }
    if (destination == "-") {
        return getToStandardOutput(arguments, options);
    }
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
    if (arguments.size() > 2 && options.read.contains("versionId")) {
        throw UsageError("--version-id names a version of one object");
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
    return run(transfers, options);
}

int cat(const std::string& url, const TransferOptions& options) {
    return getToStandardOutput({url, "-"}, options);
}

int remove(const std::vector<std::string>& urls, const TransferOptions& options) {
    if (urls.size() > 1 && options.read.contains("versionId")) {
        throw UsageError("--version-id names a version of one object");
    }
    std::vector<Transfer> transfers;
    for (const auto& text : urls) {
        transfers.push_back({.kind = Transfer::Kind::remove, .remote = parseObjectUrl(text)});
    }
    return run(transfers, options);
}

}  // namespace quilo::cli
