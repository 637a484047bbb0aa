// cp and mv: one command for every direction, as awscli has it.
#include <quilo/quilo.hpp>

#include "Batch.hpp"
#include "Commands.hpp"
#include "Output.hpp"
#include "S3Url.hpp"
#include "Summary.hpp"
#include "ToolClient.hpp"
#include "Transfers.hpp"

namespace quilo::cli {

namespace {

// Every object below one folder, to the same path below another, as the listing's pages come.
int copyTree(const S3Url& from, const S3Url& to, const TreeOptions& options) {
    Summary summary(options.dryRun);
    RemoteListing listing(from, summary);
    const auto next = [&]() -> std::optional<Transfer> {
        while (auto object = listing.next()) {
            const auto& path = object->first;
            // Folder markers ("photos/") stand for no file, and copy none.
            if (!path.empty() && !path.ends_with('/') && options.filter.accepts(path)) {
                return Transfer{.kind = Transfer::Kind::copy,
                                .remote = {to.bucket, to.key + path},
                                .source = {from.bucket, from.key + path},
                                .size = object->second.size};
            }
        }
        return std::nullopt;
    };
    const bool ran = runTransfers(next, options.transfers(), summary);
    return finish(summary, ran && !listing.failed());
}

// One object to another; into a prefix ending in '/', under its own name. A move needs the
// source's size to check the copy against.
int copyObject(const S3Url& source, S3Url destination, const TreeOptions& options) {
    if (destination.key.empty() || destination.key.ends_with('/')) {
        destination.key += baseName(source.key);
    }
    Transfer transfer{.kind = Transfer::Kind::copy, .remote = destination, .source = source};
    if (options.move && !options.dryRun) {
        Quilo& quilo = client();
        const auto head = await<QuiloObjectRquest>("move", source.text(), [&](auto callbacks) {
            quilo.getObjectMeta(objectParam(source, options.read, {"versionId"}), callbacks);
        });
        if (!head) {
            return exitFailure;
        }
        const auto& headers = head->responseHeaders();
        const auto length = headers.find("Content-Length");
        const auto size = length == headers.end() ? std::string() : length->second;
        if (size.empty() || size.find_first_not_of("0123456789") != std::string::npos) {
            printFailure("move " + source.text(), "the service gave no size to check a copy by");
            return exitFailure;
        }
        transfer.size = std::stoull(size);
    }
    Summary summary(options.dryRun);
    return finish(summary, runTransfers({transfer}, options.transfers(), summary));
}

}  // namespace

int copy(const std::string& from, const std::string& to, bool recursive,
         const TreeOptions& options) {
    const bool fromBucket = isS3Url(from), toBucket = isS3Url(to);
    if (!fromBucket && !toBucket) {
        throw UsageError("one side is s3://bucket/key: local files are copied with cp(1)");
    }
    if (from == standardInput && options.move) {
        throw UsageError("mv cannot remove standard input: cp - instead");
    }
    if (!fromBucket && options.read.contains("versionId")) {
        throw UsageError("--version-id names a version of the object copied, not of a file");
    }
    if (recursive) {
        if (!fromBucket) {
            return putTree(from, to, options);
        }
        return toBucket ? copyTree(parseS3Url(from).folder(), parseS3Url(to).folder(), options)
                        : getTree(from, to, options);
    }
    const TransferOptions transfer = options.transfers();
    if (!fromBucket) {
        return put({from, to}, transfer);
    }
    return toBucket ? copyObject(parseObjectUrl(from), parseS3Url(to), options)
                    : get({from, to}, transfer);
}

}  // namespace quilo::cli
