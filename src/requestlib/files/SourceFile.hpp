#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "quilo/requestlib/base/Error.hpp"

namespace quilo::detail {

// An upload's file, opened once: every attempt and every part reads it through this descriptor,
// so that a file replaced under its path cannot splice two files into one object.
class SourceFile {
  public:
    // Refuses anything but a regular file before reading a byte, and a symbolic link unless
    // `followLinks`.
    static std::variant<std::shared_ptr<const SourceFile>, Error> open(const std::string& path,
                                                                       bool followLinks);
    ~SourceFile();
    SourceFile(const SourceFile&) = delete;
    SourceFile& operator=(const SourceFile&) = delete;

    const std::string& path() const { return path_; }
    std::uint64_t size() const { return size_; }
    // Reads up to `capacity` bytes at `offset`; nullopt on a read error (errno tells why).
    std::optional<std::size_t> read(std::uint64_t offset, char* buffer, std::size_t capacity) const;
    // Whether the file grew, shrank or was written since it was opened, or its path now names
    // another file; the error says which.
    std::optional<Error> changed() const;

  private:
    SourceFile(std::string path, int fd, std::uint64_t size, struct timespec modified);

    std::string path_;
    int fd_;
    std::uint64_t size_;
    struct timespec modified_;
};

}  // namespace quilo::detail
