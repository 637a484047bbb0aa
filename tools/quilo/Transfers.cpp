#include "Transfers.hpp"

#include <cstring>
#include <filesystem>

#include <quilo/quilo.hpp>

#include "Batch.hpp"
#include "Progress.hpp"
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
        case Kind::remove:
        case Kind::removeLocal:
            break;
    }
    return "delete";
}

// What the transfer reads from, and where it writes.
std::string from(const Transfer& transfer) {
    const bool local = transfer.kind == Kind::upload || transfer.kind == Kind::removeLocal;
    return local ? transfer.local : transfer.remote.text();
}
std::string to(const Transfer& transfer) {
    return transfer.kind == Kind::upload     ? transfer.remote.text()
           : transfer.kind == Kind::download ? transfer.local
                                             : "";
}

void start(Quilo& quilo, const Transfer& transfer, const TransferOptions& options,
           const Batch& batch, std::size_t index) {
    const auto& [bucket, key] = transfer.remote;
    if (transfer.kind == Kind::upload) {
        StringMap param{{"filePath", transfer.local}, {"bucket", bucket}, {"key", key}};
        if (options.acl) {
            param["accessPolicy"] = *options.acl;
        }
        quilo.uploadObject(param, batch.transferCallbacks<QuiloObjectRquest>(index));
    } else if (transfer.kind == Kind::download) {
        quilo.downloadObject(
            {{"bucket", bucket}, {"key", key}, {"downloadDestinationPath", transfer.local}},
            batch.transferCallbacks<QuiloObjectRquest>(index));
    } else {
        quilo.deleteObject({{"bucket", bucket}, {"key", key}},
                           batch.callbacks<QuiloObjectRquest>(index));
    }
}

// Files this machine removes itself, one after another: quick, and no request is involved.
bool removeLocally(const Transfer& transfer, Summary& summary) {
    std::error_code error;
    if (!std::filesystem::remove(transfer.local, error) || error) {
        summary.failed("delete", transfer.local, error ? error.message() : "it is not there");
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
    Quilo& quilo = client();  // throws here, before anything has started, without credentials
    Batch batch;
    for (const auto* transfer : requests) {
        batch.add(actionOf(*transfer), from(*transfer), transfer->size);
    }
    const auto count = requests.size();
    ProgressBar bar(count == 1 ? baseName(from(*requests[0])) : counted(0, count));
    std::size_t ended = 0;
    batch.startAll([&](std::size_t i) { start(quilo, *requests[i], options, batch, i); },
                   2 * static_cast<std::size_t>(jobs()));
    const auto report = [&](std::size_t i, const Batch::Item& item) {
        if (count > 1) {
            bar.setLabel(counted(++ended, count));
        }
        const Transfer& transfer = *requests[i];
        if (!item.ok) {
            return;
        }
        if (transfer.modifiedMs != 0 && !setModified(transfer.local, transfer.modifiedMs)) {
            ok = false;
            summary.failed("download", from(transfer),
                           "setting the modification time: " + std::string(std::strerror(errno)));
            return;
        }
        summary.done(actionOf(transfer), from(transfer), to(transfer));
    };
    return batch.wait(report, &bar, &summary) && ok;
}

}  // namespace quilo::cli
