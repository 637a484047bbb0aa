#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "requestlib/files/SourceFile.hpp"

namespace quilo::detail {

// What a multipart upload leaves behind so that a later process can carry it on: which upload,
// to where, of which file, cut how. A hint, never proof: the parts it points at are checked
// against the service and the local bytes before any is kept.
struct UploadJournal {
    std::string bucket, key, uploadId;
    FileIdentity source;
    std::uint64_t partSize = 0;

    // Nullopt when the file is absent, not a regular file of this user's, or not a journal.
    static std::optional<UploadJournal> read(const std::string& path);
    // Replaces the file whole (never half-written), readable by this user alone.
    bool write(const std::string& path) const;
    static void remove(const std::string& path);

    bool operator==(const UploadJournal&) const = default;
};

}  // namespace quilo::detail
