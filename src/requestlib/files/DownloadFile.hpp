#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "quilo/requestlib/base/Error.hpp"
#include "requestlib/files/Block.hpp"
#include "requestlib/files/StreamWriter.hpp"
#include "requestlib/files/TrailingDigest.hpp"

namespace quilo::detail {

class SourceFile;

// Where a download goes. Into a regular file (or none yet): a file of its own, created
// exclusively under an unpredictable name in the destination's directory, written only through
// its own descriptor, and renamed over the destination only while its name still leads to it;
// whatever else happens, the destination stays as it was. Every name is taken relative to that
// directory, opened once, so that no directory swapped in later redirects a write. A symbolic
// link to a regular file is followed, when links are, to the file it names, and the link stays.
// Into anything else (a FIFO, a device, a terminal): straight there, in order, as it comes, by
// a writer of its own.
class DownloadFile {
  public:
    static std::variant<std::unique_ptr<DownloadFile>, Error> create(const std::string& destination,
                                                                     bool followLinks);
    ~DownloadFile();  // removes the file unless it was committed
    DownloadFile(const DownloadFile&) = delete;
    DownloadFile& operator=(const DownloadFile&) = delete;

    // Whether the bytes go straight to the destination: then they can only come in order, never
    // start again once some are out, and cannot be read back.
    bool streams() const { return dirFd_ < 0; }
    // Writes `size` bytes of `block` at `offset`, wherever the bytes before it stand. A stream
    // takes the block over and leaves an empty one in its place.
    std::optional<Error> write(std::uint64_t offset, Block& block, std::size_t size);
    // Waits until what was written is out of this process; the error of any write.
    std::optional<Error> drain() { return writer_ ? writer_->drain() : std::nullopt; }
    // Whatever size a server claims, there must be room for it before anything is made for it.
    std::optional<Error> checkRoom(std::uint64_t size) const;
    // Checks the room, then gives the file its final size at once, so that a full disk shows
    // before any byte comes.
    std::optional<Error> reserve(std::uint64_t size);
    std::optional<Error> truncate();  // starts again from an empty file
    // From now on an MD5 is taken behind the writes, of the stretch written from the start.
    void digest();
    bool digesting() const { return digest_ || (writer_ && writer_->digesting()); }
    // The hex MD5 of the file, once its first `size` bytes (all written) are hashed; nullopt
    // until then. Empty when the file could not be read back.
    std::optional<std::string> md5(std::uint64_t size);
    // Moves the file into place.
    std::optional<Error> commit();

    // For a download that a later process may carry on. The directory and the name replaced,
    // and the temporary file's name.
    std::pair<std::uint64_t, std::uint64_t> directory() const;
    const std::string& name() const { return name_; }
    const std::string& temporary() const { return temporary_; }
    // Renames the temporary file to keptName(), so that no sweep takes it for one left by a
    // process that is gone: a journal names it. keptName() is empty for a file already kept.
    std::string keptName() const;
    bool keepForResume();
    // Goes on in `temporary`, left by an earlier download of `size` bytes, instead of the file
    // of its own, which goes; false when it is not such a file, or another process has it.
    bool adopt(const std::string& temporary, std::uint64_t size);
    // Removes `temporary`, left by an earlier download that no one carries on.
    void removeLeft(const std::string& temporary) const;
    // The stretch is written already.
    void markWritten(std::uint64_t begin, std::uint64_t end) { noteWritten(begin, end); }
    // Reads the file back through a descriptor of its own; null when it cannot.
    std::shared_ptr<const SourceFile> reader() const;

  private:
    DownloadFile(std::string destination, int dirFd, std::string name, std::string temporary,
                 int fd);
    static std::variant<std::unique_ptr<DownloadFile>, Error> stream(
        const std::string& destination);
    bool stillOurs() const;
    void discard();
    void noteWritten(std::uint64_t begin, std::uint64_t end);

    std::string destination_;  // as the caller named it, for messages
    int dirFd_;                // the directory of the file replaced; -1 when streaming
    std::string name_, temporary_;
    int fd_;
    std::uint64_t streamed_ = 0;
    std::map<std::uint64_t, std::uint64_t> written_;  // stretches written, start to end
    std::unique_ptr<TrailingDigest> digest_;
    std::unique_ptr<StreamWriter> writer_;  // when streaming
};

}  // namespace quilo::detail
