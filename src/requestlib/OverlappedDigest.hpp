#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "requestlib/Crypto.hpp"

namespace quilo::detail {

// An MD5 of a body as it streams, taken on a thread of its own once the body is large: hashing
// is slower than a loopback socket, and on the network thread it would hold up every transfer.
// Small bodies are hashed in place, where a thread would cost more than it saves.
class OverlappedDigest {
  public:
    OverlappedDigest() = default;
    ~OverlappedDigest();
    OverlappedDigest(const OverlappedDigest&) = delete;
    OverlappedDigest& operator=(const OverlappedDigest&) = delete;

    // Copies the bytes; blocks only while more than kMaxQueuedBytes wait to be hashed, so that
    // memory stays flat when the hashing falls behind.
    void update(const char* data, std::size_t size);
    // Lower-case hex MD5 of every byte given since the start or the last reset().
    std::string hexDigest();
    void reset();

    static constexpr std::uint64_t kInlineBytes = 4u << 20;
    static constexpr std::size_t kMaxQueuedBytes = 4u << 20;

  private:
    void hashQueued();
    void stopWorker();

    StreamingDigest digest_{StreamingDigest::Algorithm::md5};
    std::uint64_t total_ = 0;
    std::thread worker_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> queue_;
    std::size_t queuedBytes_ = 0;
    bool closing_ = false;
};

}  // namespace quilo::detail
