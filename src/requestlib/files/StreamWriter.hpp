#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "quilo/requestlib/base/Error.hpp"
#include "requestlib/encoding/Crypto.hpp"
#include "requestlib/files/Block.hpp"

namespace quilo::detail {

// Writes a download that streams (into a pipe, a device, a terminal) on a worker of its own, and
// hashes it there when asked: the network thread only hands full blocks over, so that the socket
// is read while the blocks before are hashed and written. Memory stays bounded: once kQueued
// blocks wait, a reader that falls behind holds the handing over up, as a plain write would.
class StreamWriter {
  public:
    static constexpr std::size_t kQueued = 4;

    StreamWriter(int fd, std::string destination);
    ~StreamWriter();  // drops what waits, once a write under way returns
    StreamWriter(const StreamWriter&) = delete;
    StreamWriter& operator=(const StreamWriter&) = delete;

    // Queues `size` bytes of `block` and puts an empty block in its place; the error of an
    // earlier write, if any.
    std::optional<Error> hand(Block& block, std::size_t size);
    // Waits until every block handed over is written; the error of any write.
    std::optional<Error> drain();
    // Hashes what is handed over from now on.
    void digest();
    bool digesting() const { return md5_.has_value(); }
    // The hex MD5 of all that was handed over since digest(), once it is written.
    std::string md5();

  private:
    struct Queued {
        Block block;
        std::size_t size;
    };
    void run();
    std::optional<Error> put(const char* data, std::size_t size);

    const int fd_;
    const std::string destination_;
    std::optional<StreamingDigest> md5_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Queued> queue_;  // the front stays while it is written
    std::vector<Block> spare_;
    std::optional<Error> error_;
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace quilo::detail
