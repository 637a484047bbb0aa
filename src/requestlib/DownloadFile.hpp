#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "quilo/requestlib/Error.hpp"

namespace quilo::detail {

// The file a download streams into: created exclusively under an unpredictable name beside the
// destination, written only through its own descriptor, and renamed over the destination only
// while its name still leads to it. Whatever else happens, the destination stays as it was.
class DownloadFile {
  public:
    static std::variant<std::unique_ptr<DownloadFile>, Error> create(std::string destination);
    ~DownloadFile();  // removes the file unless it was committed
    DownloadFile(const DownloadFile&) = delete;
    DownloadFile& operator=(const DownloadFile&) = delete;

    std::optional<Error> write(const char* data, std::size_t size);
    std::optional<Error> truncate();  // starts again from an empty file
    std::uint64_t size() const { return size_; }
    // Moves the file into place.
    std::optional<Error> commit();

  private:
    DownloadFile(std::string destination, std::string path, int fd);
    bool stillOurs() const;
    void discard();

    std::string destination_;
    std::string path_;
    int fd_;
    std::uint64_t size_ = 0;
};

}  // namespace quilo::detail
