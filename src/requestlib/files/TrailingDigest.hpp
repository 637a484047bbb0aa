#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "requestlib/encoding/Crypto.hpp"

namespace quilo::detail {

// The MD5 of a file while it is being written, taken on a worker that reads back what is
// complete. The writer hands over nothing but how far that is and never waits for the hashing;
// the file holds what is still to be hashed, so memory stays flat however far it falls behind.
class TrailingDigest {
  public:
    explicit TrailingDigest(int fd);
    ~TrailingDigest();
    TrailingDigest(const TrailingDigest&) = delete;
    TrailingDigest& operator=(const TrailingDigest&) = delete;

    // The file's first `complete` bytes are written and stay as they are.
    void advance(std::uint64_t complete);
    // The file is its first `size` bytes, all written; later calls change nothing.
    void finish(std::uint64_t size);
    // Their hex MD5 once hashed (empty when the file could not be read back); nullopt until then.
    std::optional<std::string> result();

  private:
    void hash();
    bool due() const;

    const int fd_;
    StreamingDigest md5_{StreamingDigest::Algorithm::md5};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t complete_ = 0, hashed_ = 0;
    std::optional<std::uint64_t> size_;
    std::optional<std::string> result_;
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace quilo::detail
