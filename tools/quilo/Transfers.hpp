#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <quilo/quilo.hpp>

#include "S3Url.hpp"

namespace quilo::cli {

class Summary;

class LocalDirectory;

// An upload whose local side is this reads standard input, of a length known once it ends.
inline constexpr std::string_view standardInput = "-";

// One file or object to move or remove.
struct Transfer {
    // A copy goes from `source` to `remote` on the server.
    enum class Kind { upload, download, copy, remove, removeLocal };
    Kind kind = Kind::upload;
    std::string local{};  // the file uploaded, downloaded to or removed, as people see it
    S3Url remote{};
    S3Url source{};
    std::uint64_t size = 0;
    std::optional<std::int64_t> modifiedMs{};  // a download's modification time; none: now
    // A file of a tree is reached through its directory, as `relative` below it, never by its
    // path: see LocalDirectory.
    const LocalDirectory* tree = nullptr;
    std::string relative{};
};

struct TransferOptions {
    std::optional<std::string> acl{};  // canned access policy of uploads and copies
    bool dryRun = false;               // tell what would be done, and do nothing
    bool move = false;  // remove each source once its destination is there, whole (see Move)
    // The library's options of what uploads and copies write, and of what downloads read (see
    // ObjectOptions); a copy reads the version "versionId" names, a delete removes it.
    StringMap written{};
    StringMap read{};
};

// "bucket" and "key" of `object`, with the entries of `options` named in `keys`.
StringMap objectParam(const S3Url& object, const StringMap& options,
                      std::initializer_list<const char*> keys = {"sseCustomerKey", "versionId"});

// What a transfer reads from, and where it writes ("" for a removal), as people know them.
std::string from(const Transfer& transfer);
std::string to(const Transfer& transfer);

// Where the transfers of a run come from, one at a time; nullopt once there are no more.
using TransferSource = std::function<std::optional<Transfer>()>;

// Runs the transfers, --jobs at a time through the library's queue, under one progress bar for
// them all, and tells each one done or failed to `summary`. True when all succeeded. The source
// is asked for more only as the run has room for them, so that a run holds a bounded window of
// transfers however many come. With `move`, the sources of those done are removed afterwards,
// once found whole at their destination, and each is told "move" when its source is gone.
bool runTransfers(const TransferSource& next, const TransferOptions& options, Summary& summary);
bool runTransfers(const std::vector<Transfer>& transfers, const TransferOptions& options,
                  Summary& summary);

}  // namespace quilo::cli
