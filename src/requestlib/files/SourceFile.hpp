#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "quilo/requestlib/base/Error.hpp"

namespace quilo::detail {

// What tells one version of a local file from another without reading it.
struct FileIdentity {
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t modifiedSeconds = 0, modifiedNanoseconds = 0;
    bool operator==(const FileIdentity&) const = default;
};

// An upload's file, opened once: every attempt and every part reads it through this descriptor,
// so that a file replaced under its path cannot splice two files into one object.
class SourceFile {
  public:
    // Refuses anything but a regular file before reading a byte, and a symbolic link unless
    // `followLinks`.
    static std::variant<std::shared_ptr<const SourceFile>, Error> open(const std::string& path,
                                                                       bool followLinks);
    // Reads the file open at `fd` through a descriptor of its own; null when it cannot.
    static std::shared_ptr<const SourceFile> reading(int fd, const std::string& path);
    ~SourceFile();
    SourceFile(const SourceFile&) = delete;
    SourceFile& operator=(const SourceFile&) = delete;

    const std::string& path() const { return path_; }
    std::uint64_t size() const { return size_; }
    // The file as it was opened.
    const FileIdentity& identity() const { return identity_; }
    // Reads up to `capacity` bytes at `offset`; nullopt on a read error (errno tells why).
    std::optional<std::size_t> read(std::uint64_t offset, char* buffer, std::size_t capacity) const;
    // Whether the file grew, shrank or was written since it was opened, or its path now names
    // another file; the error says which.
    std::optional<Error> changed() const;

  private:
    SourceFile(std::string path, int fd, const struct stat& info);

    std::string path_;
    int fd_;
    std::uint64_t size_;
    struct timespec modified_;
    FileIdentity identity_;
};

}  // namespace quilo::detail
