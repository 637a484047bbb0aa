#include "Move.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <functional>

#include "Batch.hpp"
#include "LocalDirectory.hpp"
#include "Summary.hpp"
#include "ToolClient.hpp"
#include "Transfers.hpp"

namespace quilo::cli {

namespace {

using Kind = Transfer::Kind;
using Start = std::function<void(const Moved&, Callbacks<QuiloObjectRquest>)>;

// One request per entry, --jobs of them at a time; `ended` runs for those that succeeded, and
// failures go to `summary` under `action`.
void forEach(const std::vector<const Moved*>& entries, const char* action, const Start& start,
             const std::function<void(const Moved&, const S3Request&)>& ended, Summary& summary) {
    if (entries.empty()) {
        return;
    }
    Batch batch;
    for (const auto* entry : entries) {
        batch.add(action, {from(entry->transfer)});
    }
    batch.startAll(
        [&](std::size_t i) {
            start(*entries[i], batch.callbacks<QuiloObjectRquest>(i));
            return std::optional<std::string>();
        },
        2 * static_cast<std::size_t>(jobs()));
    batch.wait(
        [&](std::size_t i, const Batch::Item& item) {
            if (item.ok) {
                ended(*entries[i], *item.request);
            }
        },
        nullptr, &summary);
}

std::optional<std::uint64_t> contentLength(const S3Request& head) {
    const auto found = head.responseHeaders().find("Content-Length");
    std::uint64_t size = 0;
    if (found == head.responseHeaders().end() ||
        std::from_chars(found->second.data(), found->second.data() + found->second.size(), size)
                .ec != std::errc()) {
        return std::nullopt;
    }
    return size;
}

// Why the destination does not match what the HEAD of its object says; empty when it does. A
// download is held against the object it came from, so that one replaced meanwhile stays.
std::string mismatch(const Moved& moved, const S3Request& head) {
    const Transfer& transfer = moved.transfer;
    const auto size = contentLength(head);
    if (!size) {
        return "the object's size could not be read";
    }
    std::uint64_t expected = transfer.size;
    if (transfer.kind != Kind::copy) {
        struct stat status {};
        if (moved.openError != 0 || ::fstat(moved.file.get(), &status) != 0) {
            return transfer.local + ": " + std::strerror(moved.openError ? moved.openError : errno);
        }
        expected = static_cast<std::uint64_t>(status.st_size);
    }
    if (*size != expected) {
        return std::to_string(expected) + " bytes here, " + std::to_string(*size) + " there";
    }
    const auto& done = static_cast<const S3ObjectRequest&>(*moved.request).etag();
    const auto& now = static_cast<const S3ObjectRequest&>(head).etag();
    if (transfer.kind != Kind::copy && !done.empty() && !now.empty() && done != now) {
        return "the object's ETag is now " + now + ", not " + done;
    }
    return {};
}

}  // namespace

Moved holdDone(const Transfer& transfer, std::shared_ptr<S3Request> request, const Pinned& held) {
    Moved moved{transfer, std::move(request)};
    if (transfer.kind == Kind::upload || transfer.kind == Kind::download) {
        // Non-blocking: a FIFO put at the name must not hold the run up.
        const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | (transfer.tree ? O_NOFOLLOW : 0);
        moved.file =
            Descriptor(::open(transfer.tree ? held.path().c_str() : transfer.local.c_str(), flags));
        moved.openError = moved.file.get() < 0 ? errno : 0;
    }
    return moved;
}

bool removeMovedSources(const std::vector<Moved>& moved, const TransferOptions& options,
                        Summary& summary) {
    std::vector<const Moved*> all, whole, remote;
    for (const auto& entry : moved) {
        all.push_back(&entry);
    }
    Quilo& quilo = client();
    const auto head = [&](const Moved& entry, auto callbacks) {
        // The object written, with the key it was written with; for a download, the version read.
        const Transfer& transfer = entry.transfer;
        quilo.getObjectMeta(
            objectParam(transfer.remote,
                        transfer.kind == Kind::download ? options.read : options.written),
            callbacks);
    };
    forEach(
        all, "move", head,
        [&](const Moved& entry, const S3Request& answer) {
            if (const auto why = mismatch(entry, answer); !why.empty()) {
                summary.failed("move", from(entry.transfer),
                               "the source stays: its copy does not match: " + why);
            } else {
                whole.push_back(&entry);
            }
        },
        summary);
    bool ok = whole.size() == moved.size();
    const auto done = [&](const Moved& entry) {
        summary.done("move", from(entry.transfer), to(entry.transfer));
    };
    for (const auto* entry : whole) {
        const Transfer& transfer = entry->transfer;
        if (transfer.kind != Kind::upload) {
            remote.push_back(entry);
            continue;
        }
        const std::string why = transfer.tree ? transfer.tree->remove(transfer.relative)
                                : ::unlink(transfer.local.c_str()) == 0 ? ""
                                                                        : std::strerror(errno);
        if (why.empty()) {
            done(*entry);
        } else {
            ok = false;
            summary.failed("move", transfer.local, "removing it: " + why);
        }
    }
    std::size_t removed = 0;
    const auto remove = [&](const Moved& entry, auto callbacks) {
        const Transfer& transfer = entry.transfer;
        const S3Url& source = transfer.kind == Kind::copy ? transfer.source : transfer.remote;
        quilo.deleteObject({{"bucket", source.bucket}, {"key", source.key}}, callbacks);
    };
    forEach(
        remote, "move", remove,
        [&](const Moved& entry, const S3Request&) { done(entry), ++removed; }, summary);
    return ok && removed == remote.size();
}

}  // namespace quilo::cli
