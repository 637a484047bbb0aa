#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "quilo/requestlib/Error.hpp"
#include "requestlib/DownloadFile.hpp"
#include "requestlib/OverlappedDigest.hpp"

namespace quilo::detail {

// Where a request's payload (the body of its 2xx answer) goes: the download's file, or memory
// up to a bound. It outlives each attempt, so that a resumed answer carries on where the broken
// one stopped, digest included.
class PayloadSink {
  public:
    explicit PayloadSink(std::unique_ptr<DownloadFile> file, std::size_t maxMemory, bool digest);

    std::optional<Error> write(const char* data, std::size_t size, int status);
    // Back to nothing received: the server sent the whole answer again.
    std::optional<Error> restart();
    std::uint64_t size() const { return size_; }
    std::string md5();  // hex; empty when not digested
    std::string takeMemory() { return std::move(memory_); }
    // Moves a downloaded file into place.
    std::optional<Error> commit() { return file_ ? file_->commit() : std::nullopt; }

  private:
    std::unique_ptr<DownloadFile> file_;
    std::string memory_;
    std::size_t maxMemory_;
    bool digest_;
    OverlappedDigest md5_;
    std::uint64_t size_ = 0;
};

}  // namespace quilo::detail
