#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "quilo/requestlib/base/Error.hpp"
#include "quilo/requestlib/s3/S3ObjectRequest.hpp"
#include "requestlib/http/Attempt.hpp"

namespace quilo::detail {

// A stream of unknown length, read in parts on a thread of its own, so that a reader that
// blocks holds up no other request. At most `room` parts are held at once: a part read counts
// until release() says it has gone, and the reader waits for room.
class PartStream : public std::enable_shared_from_this<PartStream> {
  public:
    struct Part {
        BodySource bytes;
        std::string sha256{};  // hex, when asked for
        bool last = false;     // the stream ended with it (it may be empty then)
        std::optional<Error> error{};
    };
    // Called on the network thread with each part, in order.
    using Deliver = std::function<void(Part)>;

    PartStream(S3ObjectRequest::Reader reader, std::uint64_t partSize, std::size_t room, bool hash);
    // Starts reading; parts go to `deliver` until another is given.
    void start(Deliver deliver);
    void deliverTo(Deliver deliver);
    void release();
    // Calls the reader no more. A call under way still returns to it, but its part goes nowhere.
    void stop();

  private:
    void run();
    Part read();
    bool stopped();
    // A part's memory, one that came back if any: fresh memory would be faulted in page by page.
    std::shared_ptr<char[]> memory();

    S3ObjectRequest::Reader reader_;
    const std::uint64_t partSize_;
    const bool hash_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::size_t room_;
    bool stopped_ = false;
    Deliver deliver_;
    std::mutex spareMutex_;  // held for nothing else, since memory comes back from any thread
    std::vector<std::unique_ptr<char[]>> spare_;
    const std::size_t most_;  // parts held at once
};

}  // namespace quilo::detail
