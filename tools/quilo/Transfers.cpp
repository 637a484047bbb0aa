#include "Transfers.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <span>

#include <quilo/quilo.hpp>

#include "Batch.hpp"
#include "LocalDirectory.hpp"
#include "Move.hpp"
#include "Output.hpp"
#include "Progress.hpp"
#include "Resume.hpp"
#include "Summary.hpp"
#include "ToolClient.hpp"
#include "Tree.hpp"

namespace quilo::cli {

namespace {

using Kind = Transfer::Kind;

const char* actionOf(const Transfer& transfer) {
    switch (transfer.kind) {
        case Kind::upload:
            return "upload";
        case Kind::download:
            return "download";
        case Kind::copy:
            return "copy";
        case Kind::remove:
        case Kind::removeLocal:
            break;
    }
    return "delete";
}

// What the transfer reads from, and where it writes.
}  // namespace

StringMap objectParam(const S3Url& object, const StringMap& options,
                      std::initializer_list<const char*> keys) {
    StringMap param{{"bucket", object.bucket}, {"key", object.key}};
    for (const char* key : keys) {
        if (const auto found = options.find(key); found != options.end()) {
            param.insert(*found);
        }
    }
    return param;
}

std::string from(const Transfer& transfer) {
    const bool local = transfer.kind == Kind::upload || transfer.kind == Kind::removeLocal;
    return local                         ? transfer.local
           : transfer.kind == Kind::copy ? transfer.source.text()
                                         : transfer.remote.text();
}
std::string to(const Transfer& transfer) {
    switch (transfer.kind) {
        case Kind::upload:
        case Kind::copy:
            return transfer.remote.text();
        case Kind::download:
            return transfer.local;
        case Kind::remove:
        case Kind::removeLocal:
            break;
    }
    return "";
}

namespace {

// What one request carries out: a single transfer, or the deletes of up to maxKeysPerDelete keys
// of one bucket.
using Job = std::vector<const Transfer*>;

std::vector<Job> jobsFor(const std::vector<const Transfer*>& transfers) {
    std::vector<Job> grouped;
    std::map<std::string, std::size_t> gathering;  // bucket -> the job taking its deletes
    for (const auto* transfer : transfers) {
        if (transfer->kind != Kind::remove ||
            !QuiloBucketRequest::isDeletableInBatch(transfer->remote.key)) {
            grouped.push_back({transfer});
            continue;
        }
        const auto [at, fresh] = gathering.try_emplace(transfer->remote.bucket, grouped.size());
        if (fresh || grouped[at->second].size() == QuiloBucketRequest::maxKeysPerDelete) {
            at->second = grouped.size();
            grouped.emplace_back();
        }
        grouped[at->second].push_back(transfer);
    }
    return grouped;
}

// One run of requests, and the directories of tree files, held while their requests run.
struct Run {
    Quilo& quilo;
    const TransferOptions& options;
    const std::vector<Job>& work;
    const Batch& batch;
    std::vector<Pinned> held;  // by job; only the job's own start and end touch its entry

    std::optional<std::string> start(std::size_t index);
    std::optional<std::string> startOne(const Transfer& transfer, std::size_t index);
    void upload(const Transfer& transfer, const std::string& local, const std::string& follow,
                std::size_t index);
};

StringMap with(StringMap param, const StringMap& options) {
    param.insert(options.begin(), options.end());
    return param;
}

// Standard input, as the library asks for the bytes of one part after another.
std::optional<std::size_t> readStandardInput(std::span<char> buffer) {
    for (;;) {
        const auto got = ::read(STDIN_FILENO, buffer.data(), buffer.size());
        if (got >= 0) {
            return static_cast<std::size_t>(got);
        }
        if (errno != EINTR) {
            return std::nullopt;
        }
    }
}

// A job of one goes as its own request, so that a single delete stays a plain DELETE.
std::optional<std::string> Run::start(std::size_t index) {
    const Job& job = work[index];
    if (job.size() == 1) {
        return startOne(*job.front(), index);
    }
    StringList keys;
    for (const auto* transfer : job) {
        keys.push_back(transfer->remote.key);
    }
    quilo.deleteObjects({{"bucket", job.front()->remote.bucket}, {"keys", std::move(keys)}},
                        batch.callbacks<QuiloBucketRequest>(index));
    return std::nullopt;
}

std::optional<std::string> Run::startOne(const Transfer& transfer, std::size_t index) {
    const auto& [bucket, key] = transfer.remote;
    std::string local = transfer.local;
    if (transfer.tree) {
        auto pinned = transfer.tree->pin(transfer.relative, transfer.kind == Kind::download);
        if (const auto* why = std::get_if<std::string>(&pinned)) {
            return "refused: " + *why;
        }
        held[index] = std::get<Pinned>(std::move(pinned));
        local = held[index].path();
        batch.showAs(index, local, transfer.local);
    }
    // A tree's files are reached through their pinned paths, which no link can be.
    const std::string follow = followsSymlinks() ? "true" : "false";
    const auto callbacks = batch.callbacks<QuiloObjectRquest>(index);
    if (transfer.kind == Kind::upload) {
        upload(transfer, local, follow, index);
    } else if (transfer.kind == Kind::download) {
        StringMap param = with({{"bucket", bucket},
                                {"key", key},
                                {"downloadDestinationPath", local},
                                {"followsSymlinks", follow}},
                               options.read);
        if (const auto journal = downloadJournal(transfer.remote, transfer.local)) {
            param["resumeJournal"] = *journal;
        }
        quilo.downloadObject(param, batch.transferCallbacks<QuiloObjectRquest>(index));
    } else if (transfer.kind == Kind::copy) {
        StringMap param = with({{"srcBucket", transfer.source.bucket},
                                {"srcKey", transfer.source.key},
                                {"desBucket", bucket},
                                {"desKey", key}},
                               options.written);
        if (const auto version = options.read.find("versionId"); version != options.read.end()) {
            param["srcVersionId"] = version->second;
        }
        if (options.acl) {
            param["accessPolicy"] = *options.acl;
        }
        quilo.copyObject(param, callbacks);
    } else {
        quilo.deleteObject(objectParam(transfer.remote, options.read, {"versionId"}), callbacks);
    }
    return std::nullopt;
}

void Run::upload(const Transfer& transfer, const std::string& local, const std::string& follow,
                 std::size_t index) {
    StringMap param =
        with({{"bucket", transfer.remote.bucket}, {"key", transfer.remote.key}}, options.written);
    if (options.acl) {
        param["accessPolicy"] = *options.acl;
    }
    const auto callbacks = batch.transferCallbacks<QuiloObjectRquest>(index);
    if (transfer.local == standardInput) {
        quilo.uploadStream(param, readStandardInput, callbacks);
        return;
    }
    // Browsers show an object by the type its name suggests, unless told another.
    if (const auto type = contentType(transfer.local); !type.empty()) {
        param.try_emplace("contentType", type);
    }
    param["filePath"] = local;
    param["followsSymlinks"] = follow;
    if (const auto journal = uploadJournal(transfer.remote)) {
        param["resumeJournal"] = *journal;
    }
    quilo.uploadObject(param, callbacks);
}

// Tells each delete of a job that the service answered: done, or failed with its own reason.
bool reportDeletes(const Job& job, const S3BucketRequest& request, Summary& summary) {
    std::map<std::string, const S3DeleteFailure*> failures;
    for (const auto& failure : request.deleteFailures()) {
        failures.emplace(failure.key, &failure);
    }
    bool ok = true;
    for (const auto* transfer : job) {
        const auto found = failures.find(transfer->remote.key);
        if (found == failures.end()) {
            summary.done("delete", from(*transfer));
            continue;
        }
        ok = false;
        const Error error{.kind = ErrorKind::service,
                          .code = found->second->code,
                          .message = found->second->message,
                          .httpStatus = 0,
                          .requestId = {}};
        summary.failed("delete", from(*transfer), error.description());
    }
    return ok;
}

// Files of a tree this machine removes itself, one after another: quick, and no request is
// involved.
bool removeLocally(const Transfer& transfer, Summary& summary) {
    if (const auto why = transfer.tree->remove(transfer.relative); !why.empty()) {
        summary.failed("delete", transfer.local, why);
        return false;
    }
    summary.done("delete", transfer.local);
    return true;
}

std::string counted(std::size_t ended, std::size_t count) {
    return std::to_string(ended) + "/" + std::to_string(count) + " files";
}

}  // namespace

bool runTransfers(const std::vector<Transfer>& transfers, const TransferOptions& options,
                  Summary& summary) {
    if (interrupted()) {
        return false;
    }
    bool ok = true;
    std::vector<const Transfer*> requests;
    for (const auto& transfer : transfers) {
        if (options.dryRun) {
            summary.done(actionOf(transfer), from(transfer), to(transfer));
        } else if (transfer.kind == Kind::removeLocal) {
            ok = removeLocally(transfer, summary) && ok;
        } else {
            requests.push_back(&transfer);
        }
    }
    if (requests.empty() || interrupted()) {
        return ok && requests.empty();
    }
    // A tree's files come through directories held open, never through a link at their name.
    followsSymlinks() =
        std::none_of(requests.begin(), requests.end(), [](const auto* t) { return t->tree; });
    Quilo& quilo = client();  // throws here, before anything has started, without credentials
    const auto work = jobsFor(requests);
    Batch batch;
    Run run{quilo, options, work, batch, std::vector<Pinned>(work.size())};
    for (const auto& job : work) {
        std::vector<std::string> subjects;
        std::uint64_t size = 0;
        for (const auto* transfer : job) {
            subjects.push_back(from(*transfer));
            size += transfer->size;
        }
        batch.add(actionOf(*job.front()), std::move(subjects), size);
    }
    const auto count = requests.size();
    ProgressBar bar(count == 1 ? escaped(baseName(from(*requests[0]))) : counted(0, count));
    std::size_t ended = 0;
    std::vector<Moved> moved;
    batch.startAll([&](std::size_t i) { return run.start(i); },
                   2 * static_cast<std::size_t>(jobs()));
    const auto report = [&](std::size_t i, const Batch::Item& item) {
        const Pinned held = std::move(run.held[i]);
        ended += work[i].size();
        if (count > 1) {
            bar.setLabel(counted(ended, count));
        }
        if (!item.ok) {
            return;
        }
        if (work[i].size() > 1) {
            ok = reportDeletes(work[i], static_cast<const S3BucketRequest&>(*item.request),
                               summary) &&
                 ok;
            return;
        }
        const Transfer& transfer = *work[i].front();
        if (transfer.modifiedMs && transfer.tree && !setModified(held, *transfer.modifiedMs)) {
            ok = false;
            summary.failed("download", from(transfer),
                           "setting the modification time: " + std::string(std::strerror(errno)));
            return;
        }
        if (options.move) {
            moved.push_back(holdDone(transfer, item.request, held));
            return;
        }
        summary.done(actionOf(transfer), from(transfer), to(transfer));
    };
    ok = batch.wait(report, &bar, &summary) && ok;
    return (moved.empty() || removeMovedSources(moved, options, summary)) && ok;
}

}  // namespace quilo::cli
