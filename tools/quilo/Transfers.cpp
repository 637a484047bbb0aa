#include "Transfers.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
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
using Job = std::vector<Transfer>;

// One run of requests, and the directories of tree files, held while their requests run. Jobs
// are added on the main thread and started from either thread: the maps are reached under the
// mutex, and an entry stays where it is until the job's end has been told.
struct Run {
    Quilo& quilo;
    const TransferOptions& options;
    const Batch& batch;
    std::mutex mutex{};
    std::map<std::size_t, Job> work{};
    std::map<std::size_t, Pinned> held{};  // by job; only the job's own start and end touch it

    const Job& job(std::size_t index) {
        std::lock_guard lock(mutex);
        return work.at(index);
    }
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
    const Job& job = this->job(index);
    if (job.size() == 1) {
        return startOne(job.front(), index);
    }
    StringList keys;
    for (const auto& transfer : job) {
        keys.push_back(transfer.remote.key);
    }
    quilo.deleteObjects({{"bucket", job.front().remote.bucket}, {"keys", std::move(keys)}},
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
        std::lock_guard lock(mutex);
        Pinned& into = held[index];
        into = std::get<Pinned>(std::move(pinned));
        local = into.path();
        batch.showAs(index, local, transfer.local);
    }
    // A tree's files are reached through their pinned paths, which no link can be.
    const std::string follow = transfer.tree ? "false" : "true";
    const auto callbacks = batch.callbacks<QuiloObjectRquest>(index);
    if (transfer.kind == Kind::upload) {
        upload(transfer, local, follow, index);
    } else if (transfer.kind == Kind::download) {
        StringMap param = with({{"bucket", bucket},
                                {"key", key},
                                {"downloadDestinationPath", local},
                                {"followsSymlinks", follow}},
                               options.read);
        // An object listed within one piece has nothing a journal could save (a kill loses at
        // most that piece, as it does any piece in flight), and a journal costs a small file
        // more than its download.
        const bool onePiece = transfer.size > 0 && transfer.size <= kResumablePieceBytes;
        if (const auto journal =
                onePiece ? std::nullopt : downloadJournal(transfer.remote, transfer.local)) {
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
    for (const auto& transfer : job) {
        const auto found = failures.find(transfer.remote.key);
        if (found == failures.end()) {
            summary.done("delete", from(transfer));
            continue;
        }
        ok = false;
        const Error error{.kind = ErrorKind::service,
                          .code = found->second->code,
                          .message = found->second->message,
                          .httpStatus = 0,
                          .requestId = {}};
        summary.failed("delete", from(transfer), error.description());
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

// Takes transfers from their source as the run has room for them, gathering deletes into jobs,
// and adds the jobs to the run's batch. Those that need no request are done here.
class Feeder {
  public:
    Feeder(Run& run, Batch& batch, const TransferSource& next, Summary& summary)
        : run_(run), batch_(batch), next_(next), summary_(summary) {}

    // Adds jobs until the batch holds `window` unfinished, or the jobs under way hold enough
    // transfers between them; false once the source has run dry.
    bool feed(std::size_t window);
    // A job of `transfers` has been told ended.
    void ended(std::size_t transfers) { held_ -= transfers; }
    bool ok() const { return ok_; }
    std::size_t count() const { return count_; }
    const std::string& first() const { return first_; }

  private:
    void add(Job job);

    Run& run_;
    Batch& batch_;
    const TransferSource& next_;
    Summary& summary_;
    std::map<std::string, Job> gathering_{};  // bucket -> its deletes not yet sent
    bool ok_ = true;
    bool dry_ = false;
    std::size_t count_ = 0;  // transfers that went to the batch
    std::size_t held_ = 0;   // of those, or gathered for it, not yet told ended
    std::string first_{};
};

// Deletes go a thousand to a request: a window of requests alone would hold tens of thousands.
constexpr std::size_t kHeldTransfers = 8 * QuiloBucketRequest::maxKeysPerDelete;

bool Feeder::feed(std::size_t window) {
    while (!dry_ && batch_.unfinished() < window &&
           (held_ < kHeldTransfers || batch_.unfinished() == 0)) {
        auto transfer = next_();
        if (!transfer) {
            dry_ = true;
            for (auto& [bucket, job] : gathering_)
                add(std::move(job));
            gathering_.clear();
        } else if (run_.options.dryRun) {
            summary_.done(actionOf(*transfer), from(*transfer), to(*transfer));
        } else if (transfer->kind == Kind::removeLocal) {
            ok_ = removeLocally(*transfer, summary_) && ok_;
        } else if (transfer->kind == Kind::remove &&
                   QuiloBucketRequest::isDeletableInBatch(transfer->remote.key)) {
            Job& job = gathering_[transfer->remote.bucket];
            job.push_back(std::move(*transfer));
            ++held_;
            if (job.size() == QuiloBucketRequest::maxKeysPerDelete)
                add(std::exchange(job, {}));
        } else {
            ++held_;
            add({std::move(*transfer)});
        }
    }
    return !dry_;
}

void Feeder::add(Job job) {
    if (job.empty())
        return;
    if (count_ == 0) {
        first_ = from(job.front());
    }
    count_ += job.size();
    std::vector<std::string> subjects;
    std::uint64_t size = 0;
    for (const auto& transfer : job) {
        subjects.push_back(from(transfer));
        size += transfer.size;
    }
    const char* action = actionOf(job.front());
    {
        std::lock_guard lock(run_.mutex);
        run_.work.emplace(batch_.nextIndex(), std::move(job));
    }
    batch_.add(action, std::move(subjects), size);
}

}  // namespace

bool runTransfers(const TransferSource& next, const TransferOptions& options, Summary& summary) {
    if (interrupted()) {
        return false;
    }
    Quilo& quilo = client();  // throws here, before anything has started, without credentials
    Batch batch;
    Run run{quilo, options, batch};
    Feeder feeder(run, batch, next, summary);
    const std::size_t ahead = 2 * static_cast<std::size_t>(jobs());
    // Room for the queue to stay full while the ends are told.
    const std::size_t window = 2 * ahead;
    const bool more = feeder.feed(window);
    if (feeder.count() == 0 || interrupted()) {
        return feeder.ok() && feeder.count() == 0;
    }
    ProgressBar bar(!more && feeder.count() == 1 ? escaped(baseName(feeder.first()))
                                                 : counted(0, feeder.count()));
    std::size_t ended = 0;
    bool ok = true;
    std::vector<Moved> moved;
    const Pinned unpinned{};  // what a transfer outside any tree holds
    batch.startAll([&](std::size_t i) { return run.start(i); }, ahead);
    const auto report = [&](std::size_t i, const Batch::Item& item) {
        std::unique_lock lock(run.mutex);
        const Job job = std::move(run.work.at(i));
        run.work.erase(i);
        const auto pinned = run.held.extract(i);
        lock.unlock();
        ended += job.size();
        feeder.ended(job.size());
        if (feeder.count() > 1) {
            bar.setLabel(counted(ended, feeder.count()));
        }
        if (!item.ok) {
            return;
        }
        if (job.size() > 1) {
            ok = reportDeletes(job, static_cast<const S3BucketRequest&>(*item.request), summary) &&
                 ok;
            return;
        }
        const Transfer& transfer = job.front();
        if (transfer.modifiedMs && transfer.tree &&
            (!pinned || !setModified(pinned.mapped(), *transfer.modifiedMs))) {
            ok = false;
            summary.failed("download", from(transfer),
                           "setting the modification time: " + std::string(std::strerror(errno)));
            return;
        }
        if (options.move) {
            moved.push_back(holdDone(transfer, item.request, pinned ? pinned.mapped() : unpinned));
            return;
        }
        summary.done(actionOf(transfer), from(transfer), to(transfer));
    };
    ok = batch.wait(report, &bar, &summary, [&] { return feeder.feed(window); }) && ok;
    return (moved.empty() || removeMovedSources(moved, options, summary)) && ok && feeder.ok();
}

bool runTransfers(const std::vector<Transfer>& transfers, const TransferOptions& options,
                  Summary& summary) {
    auto at = transfers.begin();
    return runTransfers(
        [&]() -> std::optional<Transfer> {
            return at == transfers.end() ? std::nullopt : std::optional(*at++);
        },
        options, summary);
}

}  // namespace quilo::cli
