#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "quilo/requestlib/base/Error.hpp"
#include "requestlib/encoding/Crypto.hpp"
#include "requestlib/files/Block.hpp"

namespace quilo::detail {

class DownloadFile;

// Where one stream of a request's payload (the body of its 2xx answer) goes: a stretch of the
// download's file, gathered into blocks so that it takes few large writes, or memory up to a
// bound. It outlives each attempt, so that a resumed answer carries on where the broken one
// stopped.
class PayloadSink {
  public:
    // The whole payload, in memory.
    explicit PayloadSink(std::size_t maxMemory) : maxMemory_(maxMemory) {}
    // `length` bytes of the file from `offset`; a length of 0 takes all there is.
    PayloadSink(DownloadFile& file, std::uint64_t offset, std::uint64_t length)
        : file_(&file), offset_(offset), length_(length) {}

    std::optional<Error> write(const char* data, std::size_t size, int status);
    // Writes out what is gathered; an error when the stream ended before its last byte.
    std::optional<Error> complete(int status);
    // The stretch is in the file already, from an earlier process.
    void fill() { size_ = length_; }
    bool full() const { return length_ > 0 && size_ == length_; }
    // Back to nothing received: the server sent the whole answer again.
    std::optional<Error> restart();
    std::uint64_t size() const { return size_; }
    std::uint64_t offset() const { return offset_; }
    std::uint64_t length() const { return length_; }
    // The whole payload is `length` bytes, as its first answer said: no answer may end it
    // sooner, run past it or go on with another end.
    void expect(std::uint64_t length) { length_ = length; }
    // The byte of the resource at which the stream's first byte sits, for the ranges it asks.
    void setOrigin(std::uint64_t origin) { origin_ = origin; }
    // What the next attempt asks for, as a Range header ("bytes=N-M"); empty for everything.
    std::string range() const;
    // The Content-Range with which an answer goes on here, of a payload of `total` bytes; only
    // its start while the length is unknown.
    std::string expectedRange(std::uint64_t total) const;

    // Takes an MD5 of the bytes as they come (a file's larger payloads have one of their own).
    void digest() { md5_.emplace(StreamingDigest::Algorithm::md5); }
    std::string md5() const { return md5_ ? md5_->hexDigest() : std::string(); }
    std::string takeMemory() { return std::move(memory_); }

  private:
    std::optional<Error> flush();

    DownloadFile* file_ = nullptr;
    std::uint64_t offset_ = 0, length_ = 0, origin_ = 0;
    Block block_;
    std::size_t gathered_ = 0;
    std::string memory_;
    std::size_t maxMemory_ = 0;
    std::optional<StreamingDigest> md5_;
    std::uint64_t size_ = 0;
};

}  // namespace quilo::detail
