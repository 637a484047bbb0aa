#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "quilo/requestlib/base/Error.hpp"
#include "requestlib/files/TrailingDigest.hpp"

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

    // Writes at `offset`, wherever the bytes before it stand.
    std::optional<Error> write(std::uint64_t offset, const char* data, std::size_t size);
    // Gives the file its final size at once, so that a full disk shows before any byte comes.
    std::optional<Error> reserve(std::uint64_t size);
    std::optional<Error> truncate();  // starts again from an empty file
    // From now on an MD5 is taken behind the writes, of the stretch written from the start.
    void digest();
    bool digesting() const { return digest_ != nullptr; }
    // The hex MD5 of the file, once its first `size` bytes (all written) are hashed; nullopt
    // until then. Empty when the file could not be read back.
    std::optional<std::string> md5(std::uint64_t size);
    // Moves the file into place.
    std::optional<Error> commit();

  private:
    DownloadFile(std::string destination, std::string path, int fd);
    bool stillOurs() const;
    void discard();
    void noteWritten(std::uint64_t begin, std::uint64_t end);

    std::string destination_;
    std::string path_;
    int fd_;
    std::map<std::uint64_t, std::uint64_t> written_;  // stretches written, start to end
    std::unique_ptr<TrailingDigest> digest_;
};

}  // namespace quilo::detail
