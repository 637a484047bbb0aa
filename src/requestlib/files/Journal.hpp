#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "requestlib/files/SourceFile.hpp"

namespace quilo::detail {

// What a transfer leaves behind so that a later process can carry it on. A hint, never proof:
// what it points at is checked against the service and the local bytes before any is kept.
// Each is read only from a regular file of this user's, and written whole (never half) and
// readable by this user alone.

// A multipart upload: which upload, to where, of which file, cut how, and a digest of the
// options the object was begun with.
struct UploadJournal {
    std::string bucket{}, key{}, uploadId{};
    FileIdentity source{};
    std::uint64_t partSize = 0;
    std::string options{};  // empty in a journal that noted none

    static std::optional<UploadJournal> read(const std::string& path);
    bool write(const std::string& path) const;
};

// A download in ranges: into which directory and name, through which temporary file, of which
// version, and the ranges written there with the digest each had (SHA-1: the MD5 of the whole,
// where the service gives one, is taken besides, and a second MD5 would cost half again as much).
struct DownloadJournal {
    struct Range {
        std::uint64_t offset = 0, length = 0;
        std::string digest{};
    };
    std::uint64_t directoryDevice = 0, directoryInode = 0;
    std::string name{}, temporary{}, etag{};
    std::uint64_t size = 0;
    std::vector<Range> ranges{};

    static std::optional<DownloadJournal> read(const std::string& path);
    // Not durable: a note the system loses in a crash only means its range is fetched again,
    // since a kept range is hashed anew before it is trusted; syncing the journal after every
    // range would flush the download's own writes with it.
    bool write(const std::string& path, bool durable = true) const;
};

void removeJournal(const std::string& path);

}  // namespace quilo::detail
